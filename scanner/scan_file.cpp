#include "scanner/scan_file.h"

#include <optional>
#include <string>

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

std::string display_path(const std::filesystem::path& path) {
    std::string narrow;
    // The walk converted this very path before queuing it; the fallback is never expected.
    if (!platform::narrow_path(path, narrow)) narrow = platform::narrow_path_key(path);
    return narrow;
}

// The file's stamp, asked of the open folder that holds it where the walk gave one.
bool query_stamp(FilePathText path, std::size_t name_offset, const platform::FolderReader* folder,
                 platform::FileStamp& stamp) {
    if (folder == nullptr) return platform::query_file_stamp(std::filesystem::path(path), stamp);
    return folder->query_stamp(path.data() + name_offset, stamp);
}

}  // namespace

bool is_executable_extension(const std::filesystem::path& path) {
    const std::string extension = lower_extension(path);
    return extension == ".exe" || extension == ".dll" || extension == ".sys";
}

std::string suspicious_entry(const std::string& narrow_path, double entropy) {
    return narrow_path + " (Entropy: " + std::to_string(entropy).substr(0, 4) + ")";
}

void WorkerTally::flush(ScanStats& stats, std::atomic<std::uint64_t>& cache_hits_total) {
    if (files_scanned != 0) stats.files_scanned.fetch_add(files_scanned);
    if (bytes_scanned != 0) stats.bytes_scanned.fetch_add(bytes_scanned);
    if (cache_hits != 0) cache_hits_total.fetch_add(cache_hits);
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
        bool hashed = false;
        if (heuristics_apply) {
            histogram.emplace();
            hashed = compute_file_hash(path(), hash, *histogram, &stamp);
        } else {
            hashed = compute_file_hash(path(), hash, &stamp);
        }
        if (!hashed) {
            context.stats.add_error(display_path(path()));
            return;
        }
        if (cache != nullptr) cache->store_key(tally.key, stamp, hash);
    }

    tally.bytes_scanned += static_cast<std::uint64_t>(stamp.size);
    ++tally.files_scanned;

    if (context.checker.contains(hash)) {
        const std::string narrow = display_path(path());
        context.stats.add_malicious(narrow);
        context.logger.log("[MALICIOUS] " + narrow);
        return;
    }

    if (!heuristics_apply) return;
    const double entropy = histogram ? entropy_of(*histogram) : calculate_file_entropy(path());
    if (!is_suspicious_entropy(entropy)) return;
    const std::string narrow = display_path(path());
    context.stats.add_suspicious(suspicious_entry(narrow, entropy));
    context.logger.log("[SUSPICIOUS-ENTROPY] " + narrow + " E:" + std::to_string(entropy));
}

void scan_file(ScanStats& stats, const HashChecker& checker, Logger& logger,
               std::atomic<std::uint64_t>& cache_hits, const std::filesystem::path& path,
               bool enable_heuristics, bool verify_signatures, HashCache* cache) {
    const FileScanContext context{stats, checker,           logger,
                                  cache, enable_heuristics, verify_signatures};
    WorkerTally tally;
    scan_walked_file(context, tally, path.native(), 0, nullptr);
    tally.flush(stats, cache_hits);
}
