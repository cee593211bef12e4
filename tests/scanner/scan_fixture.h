// A scratch folder with a log and a known-bad database, for the scanner tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_checker.h"
#include "scanner/scan_stats.h"
#include "support/test_support.h"

namespace scan_fixture {

namespace fs = std::filesystem;

// `count` bytes in which every byte value occurs equally often (entropy 8), shuffled.
inline std::string uniform_bytes(std::size_t count, unsigned seed = 7) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<char>(i & 0xFF);
    std::shuffle(data.begin(), data.end(), std::mt19937(seed));
    return data;
}

// `count` bytes spread evenly over `values` byte values (entropy log2(values)).
inline std::string spread_bytes(std::size_t count, unsigned values) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<char>(i % values);
    return data;
}

inline std::string hash_of(const std::filesystem::path& file) {
    std::string hex;
    if (!compute_file_hash(file, hex)) throw std::runtime_error("cannot hash " + file.string());
    return hex;
}

// Everything one scan needs, in a private folder: the log "scan_log.txt" and a database that
// holds the hashes given to `load_database`.
class ScanBench {
  public:
    ScanBench() : logger((dir / "scan_log.txt").string()), checker(logger) {}

    void load_database(const std::vector<std::string>& hashes) {
        std::ofstream text(dir / "hashes.txt", std::ios::trunc);
        for (const auto& hash : hashes) text << hash << "\n";
        text.close();
        if (!checker.load((dir / "hashes.txt").string(), (dir / "hashes.bin").string())) {
            throw std::runtime_error("test database did not load");
        }
    }

    // The log with plain line feeds, whatever the system writes.
    std::string log_text() const {
        std::string text = test_support::read_file(dir / "scan_log.txt");
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }

    // Writes a file below the folder and returns its path spelt as a walk would spell it.
    fs::path write(const std::string& relative, const std::string& content) const {
        return dir.write(fs::path(relative).make_preferred(), content);
    }

    test_support::TempDir dir;
    Logger logger;
    HashChecker checker;
};

// The counting rules every finished scan keeps: findings are files that were scanned, and no file
// is both malicious and suspicious or both found and failed.
inline void expect_consistent(const ScanStats& stats) {
    EXPECT_LE(stats.malicious_count() + stats.suspicious_count(), stats.files_scanned);
    for (const auto& bad : stats.malicious_files) {
        EXPECT_EQ(bad.verdict, Verdict::kMalicious);
        for (const auto& odd : stats.suspicious_files) EXPECT_NE(odd.path, bad.path);
        for (const auto& failed : stats.error_files) EXPECT_NE(failed.path, bad.path);
    }
    for (const auto& odd : stats.suspicious_files) EXPECT_EQ(odd.verdict, Verdict::kSuspicious);
}

}  // namespace scan_fixture
