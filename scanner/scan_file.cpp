#include "scanner/scan_file.h"

#include <optional>
#include <string>

#include "console/console.h"
#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"
#include "platform/file_info.h"
#include "platform/folder_reader.h"
#include "platform/trust.h"
#include "scanner/eligibility.h"
#include "scanner/entropy.h"

namespace {

// The file's stamp, asked of the open folder that holds it where the walk gave one.
bool query_stamp(FilePathText path, std::size_t name_offset, const platform::FolderReader* folder,
                 platform::FileStamp& stamp) {
    if (folder == nullptr) return platform::query_file_stamp(std::filesystem::path(path), stamp);
    return folder->query_stamp(path.data() + name_offset, stamp);
}

}  // namespace

std::string display_text(const std::filesystem::path& path) {
    return printable(platform::display_narrow(path));
}

bool is_executable_extension(const std::filesystem::path& path) {
    const std::string extension = lower_extension(path);
    return extension == ".exe" || extension == ".dll" || extension == ".sys";
}

void record_error(const FileScanContext& context, const std::filesystem::path& path,
                  std::string reason) {
    ScanError error{path, display_text(path), std::move(reason)};
    const std::string line = "[ERROR] Could not scan " + error.display + ": " + error.reason;
    context.found.add_error(std::move(error));
    context.logger.log(line);
}

void ScanCollector::add_malicious(ScanFinding finding) {
    std::lock_guard lock(malicious_mutex);
    malicious.push_back(std::move(finding));
    progress.malicious_count.fetch_add(1);
}

void ScanCollector::add_suspicious(ScanFinding finding) {
    std::lock_guard lock(suspicious_mutex);
    suspicious.push_back(std::move(finding));
    progress.suspicious_count.fetch_add(1);
}

void ScanCollector::add_error(ScanError error) {
    std::lock_guard lock(error_mutex);
    errors.push_back(std::move(error));
    progress.error_count.fetch_add(1);
}

void ScanCollector::move_into(ScanStats& stats) {
    stats.malicious_files = std::move(malicious);
    stats.suspicious_files = std::move(suspicious);
    stats.error_files = std::move(errors);
    stats.files_scanned = progress.files_scanned.load();
    stats.bytes_scanned = progress.bytes_scanned.load();
    stats.cache_hits = progress.cache_hits.load();
}

void WorkerTally::flush(ScanProgress& progress) {
    if (files_scanned != 0) progress.files_scanned.fetch_add(files_scanned);
    if (bytes_scanned != 0) progress.bytes_scanned.fetch_add(bytes_scanned);
    if (cache_hits != 0) progress.cache_hits.fetch_add(cache_hits);
    files_scanned = bytes_scanned = cache_hits = 0;
}

void scan_walked_file(const FileScanContext& context, WorkerTally& tally, FilePathText path_text,
                      std::size_t name_offset, const platform::FolderReader* folder) {
    std::optional<std::filesystem::path> path_object;
    const auto path = [&]() -> const std::filesystem::path& {
        if (!path_object) path_object.emplace(path_text);
        return *path_object;
    };
    if (context.verify_signatures && platform::is_trusted_signature(path())) {
        ++tally.files_scanned;
        return;
    }

    // One stamp serves the cache check and the byte count: the cached entry is valid for exactly
    // those bytes, and a hashed file counts the bytes that were digested.
    HashCache* const cache = context.cache;
    std::string& hash = tally.hash;
    hash.clear();
    platform::FileStamp stamp;
    if (cache != nullptr) {
        platform::assign_narrow_path_key(path_text, tally.key);
        if (query_stamp(path_text, name_offset, folder, stamp) &&
            cache->lookup_key(tally.key, stamp, hash)) {
            ++tally.cache_hits;
        }
    }

    const bool heuristics_apply = context.enable_heuristics && is_executable_extension(path());
    // When an executable is read for its hash anyway, the entropy comes from the same bytes.
    std::optional<platform::ByteHistogram> histogram;
    if (hash.empty()) {
        // Opened through the folder the walk holds open, where it lent one: a path too long to
        // open by name is still read.
        const FileLocation file = folder != nullptr
                                      ? FileLocation(path(), folder, path_text.data() + name_offset)
                                      : FileLocation(path());
        bool hashed = false;
        std::string reason;
        if (heuristics_apply) {
            histogram.emplace();
            hashed = compute_file_hash(file, hash, *histogram, &stamp, &reason);
        } else {
            hashed = compute_file_hash(file, hash, &stamp, &reason);
        }
        if (!hashed) {
            record_error(context, path(), std::move(reason));
            return;
        }
        if (cache != nullptr) cache->store_key(tally.key, stamp, hash);
    }

    tally.bytes_scanned += static_cast<std::uint64_t>(stamp.size);
    ++tally.files_scanned;
    // An empty file holds nothing to find, whatever a list says of the digest of empty input.
    if (stamp.size == 0) return;

    const auto finding = [&](Verdict verdict, const char* reason) {
        ScanFinding found;
        found.verdict = verdict;
        found.path = path();
        found.display = display_text(path());
        found.sha256 = hash;
        found.size = static_cast<std::uint64_t>(stamp.size);
        found.stamp = stamp;
        found.reasons = {reason};
        return found;
    };
    if (context.checker.contains(hash)) {
        ScanFinding found = finding(Verdict::kMalicious, "hash");
        const std::string line = "[MALICIOUS] " + found.display;
        context.found.add_malicious(std::move(found));
        context.logger.log(line);
        return;
    }

    if (!heuristics_apply) return;
    const double entropy = histogram ? entropy_of(*histogram) : calculate_file_entropy(path());
    if (!is_suspicious_entropy(entropy)) return;
    ScanFinding found = finding(Verdict::kSuspicious, "entropy");
    found.entropy = entropy;
    const std::string line =
        "[SUSPICIOUS-ENTROPY] " + found.display + " E:" + std::to_string(entropy);
    context.found.add_suspicious(std::move(found));
    context.logger.log(line);
}

void scan_file(const FileScanContext& context, const std::filesystem::path& path) {
    WorkerTally tally;
    scan_walked_file(context, tally, path.native(), 0, nullptr);
    tally.flush(context.found.progress);
}
