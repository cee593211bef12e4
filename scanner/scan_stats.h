// What one scan found, and the live counters a running scan keeps up to date. Header-only, so the
// report and the front ends read them without linking the scanner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_info.h"

// The counters of a running scan. The workers add to them as they go; a progress display reads
// them from another thread without a lock, so the numbers of one reading may belong to slightly
// different moments.
struct ScanProgress {
    std::atomic<std::uint64_t> files_scanned{0};  // hashed (or cached) files plus trusted ones
    std::atomic<std::uint64_t> bytes_scanned{0};  // sizes of the files that obtained a hash
    std::atomic<std::uint64_t> malicious_count{0};
    std::atomic<std::uint64_t> suspicious_count{0};
    std::atomic<std::uint64_t> error_count{0};
    std::atomic<std::uint64_t> cache_hits{0};
    std::atomic<std::uint64_t> files_read{0};       // whose content was read, by any step
    std::atomic<std::uint64_t> rules_too_large{0};  // not matched: larger than the rule limit
    // Set once every root is walked and every file is done; nothing changes the counters after.
    std::atomic<bool> finished{false};
};

enum class Verdict { kMalicious, kSuspicious };

// A file the scan flags.
struct ScanFinding {
    Verdict verdict = Verdict::kMalicious;
    std::filesystem::path path;  // exactly as the walk spelt it
    std::string display;         // its narrow text, as lists, the log and reports show it
    std::string sha256;          // 64 lowercase hex characters
    std::uint64_t size = 0;
    std::vector<std::string> reasons;  // "hash" (listed in the database), "rule", "entropy"
    std::vector<std::string> rules;    // the rules it matched, each name once
    double entropy = 0.0;              // for a suspicious file
    // The status the scan read with the hash: which file it was and which version of it, so
    // that an action taken later (quarantine) touches only that same, unchanged file.
    platform::FileStamp stamp;

    // The text of its line in the result lists: the path, and for a suspicious file its entropy
    // cut (not rounded) to two decimals.
    std::string list_entry() const {
        if (verdict == Verdict::kMalicious) return display;
        return display + " (Entropy: " + std::to_string(entropy).substr(0, 4) + ")";
    }
};

// A file or folder the scan could not look at, and why.
struct ScanError {
    std::filesystem::path path;
    std::string display;
    std::string reason;
};

// The whole result of one finished scan.
struct ScanStats {
    std::vector<std::string> roots;  // as requested, in scan order
    std::string scanned_paths;       // every root followed by "; "

    std::uint64_t files_scanned = 0;
    std::uint64_t bytes_scanned = 0;
    std::uint64_t cache_hits = 0;
    std::uint64_t files_read = 0;       // files whose content was read
    std::uint64_t rules_too_large = 0;  // files not matched against rules: above the limit

    std::vector<ScanFinding> malicious_files;
    std::vector<ScanFinding> suspicious_files;
    // Files that could not be scanned, and folders (roots included) that could not be walked or
    // whose listing broke off.
    std::vector<ScanError> error_files;

    // Roots that did not exist; they are passed over and the other roots still scanned.
    std::vector<std::string> missing_roots;

    std::chrono::steady_clock::time_point start_time;
    std::chrono::steady_clock::time_point end_time;

    std::uint64_t malicious_count() const { return malicious_files.size(); }
    std::uint64_t suspicious_count() const { return suspicious_files.size(); }
    std::uint64_t error_count() const { return error_files.size(); }

    // Whole seconds from start_time to end_time, truncated toward zero.
    std::int64_t elapsed_seconds() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(end_time - start_time).count() /
               1000000000;
    }
};

// Byte counts are shown in whole mebibytes, rounded down.
inline std::uint64_t whole_mebibytes(std::uint64_t bytes) { return bytes >> 20; }
