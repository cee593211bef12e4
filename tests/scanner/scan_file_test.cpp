#include "scanner/scan_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hashdb/hash_cache.h"
#include "platform/file_info.h"
#include "scan_fixture.h"

namespace {

namespace fs = std::filesystem;
using scan_fixture::expect_consistent;

enum class Outcome { kClean, kMalicious, kSuspicious, kError };

const char* name_of(Outcome outcome) {
    switch (outcome) {
        case Outcome::kClean:
            return "clean";
        case Outcome::kMalicious:
            return "malicious";
        case Outcome::kSuspicious:
            return "suspicious";
        case Outcome::kError:
            return "error";
    }
    return "?";
}

class ScanFileTest : public ::testing::Test {
  protected:
    // Scans one file alone and tells what it became.
    Outcome scan_one(const fs::path& file, bool heuristics, HashCache* cache = nullptr) {
        ScanProgress progress;
        ScanCollector found(progress);
        scan_file(FileScanContext{found, bench.checker, bench.logger, cache, heuristics, false},
                  file);
        ScanStats stats;
        found.move_into(stats);
        expect_consistent(stats);
        EXPECT_EQ(progress.malicious_count.load(), stats.malicious_count());
        EXPECT_EQ(progress.suspicious_count.load(), stats.suspicious_count());
        EXPECT_EQ(progress.error_count.load(), stats.error_count());
        cache_hits += stats.cache_hits;
        last_bytes = stats.bytes_scanned;
        last_suspicious.clear();
        for (const auto& odd : stats.suspicious_files) last_suspicious.push_back(odd.list_entry());
        EXPECT_EQ(stats.files_scanned + stats.error_count(), 1u) << file;
        if (stats.error_count() == 1) {
            const ScanError& error = stats.error_files.front();
            EXPECT_EQ(error.path, file);
            EXPECT_EQ(error.display, file.string());
            EXPECT_FALSE(error.reason.empty());
            last_error = error.reason;
            EXPECT_EQ(last_bytes, 0u);
            return Outcome::kError;
        }
        if (stats.malicious_count() == 1) {
            const ScanFinding& bad = stats.malicious_files.front();
            EXPECT_EQ(bad.path, file);
            EXPECT_EQ(bad.display, file.string());
            EXPECT_EQ(bad.size, last_bytes);
            EXPECT_EQ(bad.reasons, std::vector<std::string>{"hash"});
            EXPECT_EQ(bad.sha256.size(), 64u);
            return Outcome::kMalicious;
        }
        if (stats.suspicious_count() == 1) {
            EXPECT_EQ(stats.suspicious_files.front().reasons, std::vector<std::string>{"entropy"});
            return Outcome::kSuspicious;
        }
        return Outcome::kClean;
    }

    scan_fixture::ScanBench bench;
    std::uint64_t cache_hits = 0;
    std::uint64_t last_bytes = 0;
    std::vector<std::string> last_suspicious;
    std::string last_error;
};

TEST_F(ScanFileTest, OutcomesByContentNameAndOption) {
    const std::string packed = scan_fixture::uniform_bytes(64 * 1024);
    const std::string seven_bits = scan_fixture::spread_bytes(64 * 1024, 128);  // entropy 7.0
    const auto bad = bench.write("known/bad.dat", "known bad content\n");
    const auto bad_packed = bench.write("known/bad_packed.exe", packed + "!");
    bench.load_database(
        {scan_fixture::hash_of(bad), scan_fixture::hash_of(bad_packed), kEmptyInputSha256});

    struct Case {
        const char* name;
        std::string content;
        bool heuristics;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        {"clean.bin", "harmless", true, Outcome::kClean},
        {"copy_of_bad.txt.bin", "known bad content\n", false, Outcome::kMalicious},
        {"PROGRAM.EXE", packed, true, Outcome::kSuspicious},
        {"library.dll", packed, true, Outcome::kSuspicious},
        {"driver.Sys", packed, true, Outcome::kSuspicious},
        {"packed_off.exe", packed, false, Outcome::kClean},  // heuristics off
        {"seven_bits.exe", seven_bits, true, Outcome::kClean},
        {"a.exe2", packed, true, Outcome::kClean},
        {"a.ex", packed, true, Outcome::kClean},
        {".exe", packed, true, Outcome::kClean},  // a leading dot alone is no extension
        {"packed.bin", packed, true, Outcome::kClean},
        {"bad_again.exe", packed + "!", true, Outcome::kMalicious},  // never also suspicious
        // Empty content is nothing to find, even with the digest of empty input listed.
        {"empty.exe", "", true, Outcome::kClean},
    };
    for (const auto& c : cases) {
        const auto file = bench.write("cases/" + std::string(c.name), c.content);
        EXPECT_STREQ(name_of(scan_one(file, c.heuristics)), name_of(c.expected)) << c.name;
        if (c.expected != Outcome::kError) {
            EXPECT_EQ(last_bytes, c.content.size()) << c.name;
        }
    }
    EXPECT_STREQ(name_of(scan_one(bench.dir / "cases/missing.bin", true)),
                 name_of(Outcome::kError));
    EXPECT_EQ(last_error.rfind("cannot open: ", 0), 0u) << last_error;
    EXPECT_STREQ(name_of(scan_one(bench.dir / "cases", true)), name_of(Outcome::kError));
    EXPECT_EQ(cache_hits, 0u);
}

TEST_F(ScanFileTest, FindingsAreLoggedWithTheirPathAndEntropy) {
    const auto bad = bench.write("bad.dat", "evil");
    bench.load_database({scan_fixture::hash_of(bad)});
    const auto packed = bench.write("packed.exe", scan_fixture::uniform_bytes(256 * 64));
    ASSERT_STREQ(name_of(scan_one(bad, true)), "malicious");
    ASSERT_STREQ(name_of(scan_one(packed, true)), "suspicious");
    EXPECT_EQ(last_suspicious, std::vector<std::string>{packed.string() + " (Entropy: 8.00)"});
    const std::string log = bench.log_text();
    EXPECT_NE(log.find(" [MALICIOUS] " + bad.string() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" [SUSPICIOUS-ENTROPY] " + packed.string() + " E:8.000000\n"),
              std::string::npos)
        << log;
}

TEST_F(ScanFileTest, EntropyTextIsCutNotRounded) {
    const auto entry = [](double entropy) {
        ScanFinding finding;
        finding.verdict = Verdict::kSuspicious;
        finding.display = "a.exe";
        finding.entropy = entropy;
        return finding.list_entry();
    };
    EXPECT_EQ(entry(7.999), "a.exe (Entropy: 7.99)");
    EXPECT_EQ(entry(7.2000001), "a.exe (Entropy: 7.20)");
}

TEST_F(ScanFileTest, UnreadableFileIsAnError) {
    const auto file = bench.write("locked.bin", "secret");
    fs::permissions(file, fs::perms::none);
    if (std::ifstream(file).is_open()) {
        fs::permissions(file, fs::perms::owner_all);
        GTEST_SKIP() << "permissions do not stop this user from reading";
    }
    EXPECT_STREQ(name_of(scan_one(file, true)), "error");
    fs::permissions(file, fs::perms::owner_all);
}

TEST_F(ScanFileTest, CacheSuppliesTheHashAndStillCountsTheFile) {
    bench.load_database({std::string(64, 'e')});
    HashCache cache((bench.dir / "hash_cache.bin").string());
    const auto file = bench.write("cached.bin", "twelve bytes");
    // A planted cache entry naming a known-bad hash proves the file was not read again.
    cache.store(file, std::string(64, 'e'));
    EXPECT_STREQ(name_of(scan_one(file, false, &cache)), "malicious");
    EXPECT_EQ(cache_hits, 1u);
    EXPECT_EQ(last_bytes, 12u);
}

TEST_F(ScanFileTest, MissStoresTheHashAndEntropyWorksOnAHit) {
    bench.load_database({std::string(64, '0')});
    HashCache cache((bench.dir / "hash_cache.bin").string());
    const auto file = bench.write("packed.dll", scan_fixture::uniform_bytes(100000));
    ASSERT_STREQ(name_of(scan_one(file, true, &cache)), "suspicious");
    const auto first = last_suspicious;
    std::string stored;
    ASSERT_TRUE(cache.lookup(file, stored));
    EXPECT_EQ(stored, scan_fixture::hash_of(file));
    EXPECT_EQ(cache_hits, 0u);

    ASSERT_STREQ(name_of(scan_one(file, true, &cache)), "suspicious");
    EXPECT_EQ(cache_hits, 1u);
    EXPECT_EQ(last_suspicious, first);
    EXPECT_EQ(cache.size(), 1u);
}

// An entry whose stamp no longer matches the file is not used: the file is hashed again, counted
// with its present size, and its entry takes the new hash with the stamp of the bytes hashed.
TEST_F(ScanFileTest, ChangedFileIsHashedAgainAndItsEntryRefreshed) {
    bench.load_database({std::string(64, 'e')});
    HashCache cache((bench.dir / "hash_cache.bin").string());
    const auto file = bench.write("changed.bin", "old");
    platform::FileStamp old_stamp;
    ASSERT_TRUE(platform::query_file_stamp(file, old_stamp));
    cache.store(file, old_stamp, std::string(64, 'e'));

    bench.write("changed.bin", "new and longer");
    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(60));
    EXPECT_STREQ(name_of(scan_one(file, false, &cache)), "clean");
    EXPECT_EQ(cache_hits, 0u);
    EXPECT_EQ(last_bytes, 14u);

    platform::FileStamp now;
    ASSERT_TRUE(platform::query_file_stamp(file, now));
    const auto entries = cache.snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].hash, scan_fixture::hash_of(file));
    EXPECT_EQ((platform::FileStamp{entries[0].size, entries[0].last_write_time, now.identity}),
              now);

    EXPECT_STREQ(name_of(scan_one(file, false, &cache)), "clean");
    EXPECT_EQ(cache_hits, 1u);
    EXPECT_EQ(last_bytes, 14u);
}

}  // namespace
