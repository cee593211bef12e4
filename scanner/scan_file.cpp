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
bool query_stamp(const std::filesystem::path& path, const platform::FolderReader* folder,
                 platform::FileStamp& stamp) {
    if (folder == nullptr) return platform::query_file_stamp(path, stamp);
    constexpr std::filesystem::path::value_type kSeparators[] = {
        '/', std::filesystem::path::preferred_separator, 0};
    const auto& text = path.native();
    const auto last = text.find_last_of(kSeparators);
    return folder->query_stamp(text.c_str() + (last == text.npos ? 0 : last + 1), stamp);
}

}  // namespace

bool is_executable_extension(const std::filesystem::path& path) {
    const std::string extension = lower_extension(path);
    return extension == ".exe" || extension == ".dll" || extension == ".sys";
}

std::string suspicious_entry(const std::string& narrow_path, double entropy) {
    return narrow_path + " (Entropy: " + std::to_string(entropy).substr(0, 4) + ")";
}

void scan_file(ScanStats& stats, const HashChecker& checker, Logger& logger,
               std::atomic<std::uint64_t>& cache_hits, const std::filesystem::path& path,
               bool enable_heuristics, bool verify_signatures, HashCache* cache,
               const platform::FolderReader* folder) {
    if (verify_signatures && platform::is_trusted_signature(path)) {
        stats.files_scanned.fetch_add(1);
        return;
    }

    // One stamp serves the cache check and the byte count: the cached entry is valid for exactly
    // those bytes, and a hashed file counts the bytes that were digested.
    std::string hash;
    platform::FileStamp stamp;
    if (cache != nullptr && query_stamp(path, folder, stamp) && cache->lookup(path, stamp, hash)) {
        cache_hits.fetch_add(1);
    }

    const bool heuristics_apply = enable_heuristics && is_executable_extension(path);
    // When an executable is read for its hash anyway, the entropy comes from the same bytes.
    std::optional<platform::ByteHistogram> histogram;
    if (hash.empty()) {
        bool hashed = false;
        if (heuristics_apply) {
            histogram.emplace();
            hashed = compute_file_hash(path, hash, *histogram, &stamp);
        } else {
            hashed = compute_file_hash(path, hash, &stamp);
        }
        if (!hashed) {
            stats.add_error(display_path(path));
            return;
        }
        if (cache != nullptr) cache->store(path, stamp, hash);
    }

    stats.bytes_scanned.fetch_add(static_cast<std::uint64_t>(stamp.size));
    stats.files_scanned.fetch_add(1);

    if (checker.contains(hash)) {
        const std::string narrow = display_path(path);
        stats.add_malicious(narrow);
        logger.log("[MALICIOUS] " + narrow);
        return;
    }

    if (!heuristics_apply) return;
    const double entropy = histogram ? entropy_of(*histogram) : calculate_file_entropy(path);
    if (!is_suspicious_entropy(entropy)) return;
    const std::string narrow = display_path(path);
    stats.add_suspicious(suspicious_entry(narrow, entropy));
    logger.log("[SUSPICIOUS-ENTROPY] " + narrow + " E:" + std::to_string(entropy));
}
