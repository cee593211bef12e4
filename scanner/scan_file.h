// The work done for one file of a scan, on a worker thread: trusted signature, hash (from the
// cache or the file), database lookup and, for executables, the entropy test.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "scanner/scan_stats.h"

namespace platform {
class FolderReader;
}

class HashCache;
class HashChecker;
class Logger;

// What the scan of one file needs besides the file.
struct FileScanContext {
    ScanStats& stats;
    const HashChecker& checker;
    Logger& logger;
    HashCache* cache;  // null: no cache for this scan
    bool enable_heuristics = false;
    bool verify_signatures = false;
};

// What a worker carries from file to file: counts not yet added to the scan's shared counters
// (many files answered from the cache would otherwise contend for them file by file), and text
// buffers reused for every file.
struct WorkerTally {
    std::uint64_t files_scanned = 0;
    std::uint64_t bytes_scanned = 0;
    std::uint64_t cache_hits = 0;
    std::string key;
    std::string hash;

    // Adds the counts to the scan's counters and starts again from zero.
    void flush(ScanStats& stats, std::atomic<std::uint64_t>& cache_hits_total);
};

// A file's path as the walk spelt it, followed in memory by a NUL.
using FilePathText = std::basic_string_view<std::filesystem::path::value_type>;

// Scans the file with this path text; its counts go to `tally`, findings and errors straight to
// the scan's lists. `folder`, when given, is the open folder that holds the file: its status is
// then read relative to it, by the name at `name_offset`. The path object is only built when the
// file has to be read or reported.
void scan_walked_file(const FileScanContext& context, WorkerTally& tally, FilePathText path,
                      std::size_t name_offset, const platform::FolderReader* folder);

// Records the file in `stats`: once in files_scanned or once in error_count, plus a malicious or
// suspicious finding. `cache` may be null (no cache for this scan); `cache_hits` counts the files
// whose hash the cache supplied.
void scan_file(ScanStats& stats, const HashChecker& checker, Logger& logger,
               std::atomic<std::uint64_t>& cache_hits, const std::filesystem::path& path,
               bool enable_heuristics, bool verify_signatures, HashCache* cache);

// True for the extensions that get the entropy test: ".exe", ".dll" and ".sys", in any case.
bool is_executable_extension(const std::filesystem::path& path);

// The list entry of a suspicious file: the path and the entropy cut (not rounded) to two decimals.
std::string suspicious_entry(const std::string& narrow_path, double entropy);
