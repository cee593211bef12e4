// One scan's results: counters the workers update while the progress line reads them, the result
// lists, and the scan's start and end. Header-only, so the report code can read it without linking
// the scanner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct ScanStats {
    std::atomic<std::uint64_t> files_scanned{0};     // hashed (or cached) files plus trusted ones
    std::atomic<std::uint64_t> malicious_count{0};   // guarded with malicious_files
    std::atomic<std::uint64_t> error_count{0};       // guarded with error_files
    std::atomic<std::uint64_t> suspicious_count{0};  // guarded with suspicious_files
    std::atomic<std::uint64_t> bytes_scanned{0};     // sizes of the files that obtained a hash

    std::string scanned_paths;  // every root followed by "; "

    std::vector<std::string> malicious_files;
    std::vector<std::string> suspicious_files;  // "path (Entropy: x.yy)"
    std::vector<std::string> error_files;

    std::mutex malicious_mutex;
    std::mutex suspicious_mutex;
    std::mutex error_mutex;

    std::chrono::steady_clock::time_point start_time;
    std::chrono::steady_clock::time_point end_time;

    // Each finding appends its entry and counts it under the list's own lock, so a finished scan
    // always has counts equal to list lengths.
    void add_malicious(std::string entry) {
        std::lock_guard lock(malicious_mutex);
        malicious_files.push_back(std::move(entry));
        malicious_count.fetch_add(1);
    }
    void add_suspicious(std::string entry) {
        std::lock_guard lock(suspicious_mutex);
        suspicious_files.push_back(std::move(entry));
        suspicious_count.fetch_add(1);
    }
    void add_error(std::string entry) {
        std::lock_guard lock(error_mutex);
        error_files.push_back(std::move(entry));
        error_count.fetch_add(1);
    }

    // Whole seconds from start_time to end_time, truncated toward zero.
    std::int64_t elapsed_seconds() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(end_time - start_time).count() /
               1000000000;
    }
};

// Byte counts are shown in whole mebibytes, rounded down.
inline std::uint64_t whole_mebibytes(std::uint64_t bytes) { return bytes >> 20; }
