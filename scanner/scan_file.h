// The work done for one file of a scan, on a worker thread: trusted signature, hash (from the
// cache or the file), database lookup and, for executables, the entropy test.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>

#include "scanner/scan_stats.h"

namespace platform {
class FolderReader;
}

class HashCache;
class HashChecker;
class Logger;

// Records the file in `stats`: once in files_scanned or once in error_count, plus a malicious or
// suspicious finding. `cache` may be null (no cache for this scan); `cache_hits` counts the files
// whose hash the cache supplied. `folder`, when given, is the open folder that holds the file: its
// status is then read relative to it.
void scan_file(ScanStats& stats, const HashChecker& checker, Logger& logger,
               std::atomic<std::uint64_t>& cache_hits, const std::filesystem::path& path,
               bool enable_heuristics, bool verify_signatures, HashCache* cache,
               const platform::FolderReader* folder = nullptr);

// True for the extensions that get the entropy test: ".exe", ".dll" and ".sys", in any case.
bool is_executable_extension(const std::filesystem::path& path);

// The list entry of a suspicious file: the path and the entropy cut (not rounded) to two decimals.
std::string suspicious_entry(const std::string& narrow_path, double entropy);
