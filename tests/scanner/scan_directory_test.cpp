#include "scanner/scan_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hashdb/hash_cache.h"
#include "scan_fixture.h"

namespace {

namespace fs = std::filesystem;

// Runs one scan of `roots` through the engine and returns its result.
class ScanDirectoryTest : public ::testing::Test {
  protected:
    ScanStats scan(const std::vector<std::string>& roots, HashCache* cache,
                   ScanConfig config = {}) {
        ScanRequest request;
        request.roots = roots;
        request.config = config;
        request.threads = 3;
        ScanProgress progress;
        ScanStats stats = scan_directory(request, bench.checker, bench.logger, cache, &progress);
        // The live counters end where the result does, and say the scan is over.
        EXPECT_TRUE(progress.finished.load());
        EXPECT_EQ(progress.files_scanned.load(), stats.files_scanned);
        EXPECT_EQ(progress.bytes_scanned.load(), stats.bytes_scanned);
        EXPECT_EQ(progress.malicious_count.load(), stats.malicious_count());
        EXPECT_EQ(progress.error_count.load(), stats.error_count());
        EXPECT_EQ(progress.cache_hits.load(), stats.cache_hits);
        scan_fixture::expect_consistent(stats);
        return stats;
    }

    static std::vector<fs::path> paths_of(const std::vector<ScanFinding>& findings) {
        std::vector<fs::path> paths;
        for (const auto& finding : findings) paths.push_back(finding.path);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    scan_fixture::ScanBench bench;
};

TEST_F(ScanDirectoryTest, FindsPlantedFilesWithTheirHashesAndSizes) {
    const auto tree = bench.dir / "tree";
    const auto bad = bench.write("tree/sub/dropper.exe", "malware payload one");
    const auto bad2 = bench.write("tree/deeper/still/worm.bin", "malware payload two");
    bench.write("tree/clean/a.bin", std::string(3000, 'a'));
    bench.write("tree/clean/b.bin", "bee");
    bench.write("tree/notes.txt", "malware payload one");       // skipped by extension
    bench.write("tree/.git/objects/x", "malware payload two");  // pruned
    bench.write("tree/empty.bin", "");
    bench.load_database({scan_fixture::hash_of(bad), scan_fixture::hash_of(bad2)});
    HashCache cache((bench.dir / "hash_cache.bin").string());

    const ScanStats stats = scan({tree.string()}, &cache);
    EXPECT_EQ(stats.scanned_paths, tree.string() + "; ");
    EXPECT_EQ(stats.roots, std::vector<std::string>{tree.string()});
    EXPECT_EQ(stats.files_scanned, 5u);
    EXPECT_EQ(stats.bytes_scanned, 19u + 19u + 3000u + 3u);
    EXPECT_EQ(stats.error_count(), 0u);
    EXPECT_EQ(stats.cache_hits, 0u);
    ASSERT_EQ(paths_of(stats.malicious_files), (std::vector<fs::path>{bad2, bad}));
    for (const auto& finding : stats.malicious_files) {
        EXPECT_EQ(finding.sha256, scan_fixture::hash_of(finding.path));
        EXPECT_EQ(finding.size, 19u);
        EXPECT_EQ(finding.display, finding.path.string());
        EXPECT_EQ(finding.reasons, std::vector<std::string>{"hash"});
    }
    EXPECT_LE(stats.start_time, stats.end_time);

    const std::string log = bench.log_text();
    EXPECT_NE(log.find("[MALICIOUS] " + bad.string() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[MALICIOUS] " + bad2.string() + "\n"), std::string::npos) << log;

    // The engine fills the cache in memory and leaves saving it to its caller.
    EXPECT_EQ(cache.size(), 5u);
    EXPECT_FALSE(fs::exists(bench.dir / "hash_cache.bin"));
    const ScanStats again = scan({tree.string()}, &cache);
    EXPECT_EQ(again.cache_hits, 5u);
    EXPECT_EQ(paths_of(again.malicious_files), paths_of(stats.malicious_files));
}

TEST_F(ScanDirectoryTest, RootsThatDoNotExistOrCannotBeListed) {
    bench.load_database({std::string(64, '0')});
    bench.write("one/x.bin", "x");
    const std::string missing = (bench.dir / "nowhere").string();
    const std::string one = (bench.dir / "one").string();

    ScanStats stats = scan({missing, one, missing}, nullptr);
    EXPECT_EQ(stats.scanned_paths, missing + "; " + one + "; " + missing + "; ");
    EXPECT_EQ(stats.files_scanned, 1u);
    EXPECT_EQ(stats.missing_roots, (std::vector<std::string>{missing, missing}));
    EXPECT_TRUE(stats.error_files.empty());
    const std::string log = bench.log_text();
    std::size_t warnings = 0;
    for (auto at = log.find("[WARN] Path skip: " + missing + "\n"); at != std::string::npos;
         at = log.find("[WARN] Path skip: " + missing + "\n", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 2u) << log;
}

// A file named as a root is scanned as that file; a root that fails ends only its own walk.
TEST_F(ScanDirectoryTest, FileRootsAndFailingRoots) {
    const auto bad = bench.write("plain.bin", "named on its own");
    bench.load_database({scan_fixture::hash_of(bad)});
    bench.write("one/x.bin", "x");
    const std::string one = (bench.dir / "one").string();

    ScanStats stats = scan({bad.string(), one}, nullptr);
    EXPECT_EQ(stats.files_scanned, 2u);
    EXPECT_EQ(paths_of(stats.malicious_files), std::vector<fs::path>{bad});

    // A root below a file cannot be looked at (Linux: "not a folder", Windows: "path not found",
    // which counts as missing): that root fails, and the next is still walked.
    const std::string below_file = (bad / "inner").string();
    stats = scan({below_file, one}, nullptr);
    EXPECT_EQ(stats.files_scanned, 1u);
    ASSERT_EQ(stats.error_files.size() + stats.missing_roots.size(), 1u);
    if (!stats.error_files.empty()) {
        EXPECT_EQ(stats.error_files[0].path, fs::path(below_file));
        EXPECT_FALSE(stats.error_files[0].reason.empty());
        EXPECT_NE(bench.log_text().find("[ERROR] Directory iteration failed: "), std::string::npos);
    }
}

TEST_F(ScanDirectoryTest, EmptyRootListAndRepeatedRoot) {
    bench.load_database({std::string(64, '0')});
    bench.write("twice/a.bin", "a");
    ScanStats stats = scan({}, nullptr);
    EXPECT_EQ(stats.scanned_paths, "");
    EXPECT_EQ(stats.files_scanned, 0u);

    const std::string twice = (bench.dir / "twice").string();
    stats = scan({twice, twice}, nullptr);
    EXPECT_EQ(stats.files_scanned, 2u);
}

TEST_F(ScanDirectoryTest, AllFilesTakesMarkedFoldersAndSkippedExtensions) {
    const auto note = bench.write("tree/notes.txt", "listed content");
    const auto hidden = bench.write("tree/.git/objects/x", "listed content");
    bench.write("tree/a.bin", "a");
    bench.load_database({scan_fixture::hash_of(note)});
    ScanConfig config;
    EXPECT_EQ(scan({(bench.dir / "tree").string()}, nullptr, config).files_scanned, 1u);
    config.all_files = true;
    const ScanStats all = scan({(bench.dir / "tree").string()}, nullptr, config);
    EXPECT_EQ(all.files_scanned, 3u);
    EXPECT_EQ(paths_of(all.malicious_files), (std::vector<fs::path>{hidden, note}));
}

// Files reach the workers in groups: counts that are not a whole number of groups, a finding in
// the last, partial group, and files walked just before a later root ends the walk all have to
// come out of the scan exactly once.
TEST_F(ScanDirectoryTest, EveryWalkedFileIsScannedOnceWhateverTheGrouping) {
    struct Case {
        int files;
        bool failing_root_after;
    };
    const Case cases[] = {{0, false},  {1, false},   {63, false}, {64, false},
                          {65, false}, {200, false}, {5, true},   {130, true}};
    // A root below a file cannot be walked at all.
    const auto failing_root = bench.write("plain.bin", "x") / "inner";
    // Every file's content is unique, so each case has exactly one known-bad file: its last.
    const auto group_name = [](const Case& c) {
        return "group" + std::to_string(c.files) + (c.failing_root_after ? "f" : "");
    };
    std::vector<std::string> bad_hashes;
    std::vector<fs::path> bad_files;
    for (const Case& c : cases) {
        fs::path bad;
        for (int i = 0; i < c.files; ++i) {
            bad = bench.write(
                group_name(c) + "/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin",
                group_name(c) + " content " + std::to_string(i));
        }
        if (c.files > 0) bad_hashes.push_back(scan_fixture::hash_of(bad));
        bad_files.push_back(bad);
    }
    bench.load_database(bad_hashes);
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(group_name(c));
        std::vector<std::string> roots = {(bench.dir / group_name(c)).string()};
        if (c.failing_root_after) roots.push_back(failing_root.string());
        HashCache cache((bench.dir / (group_name(c) + ".cache")).string());
        for (const char* pass : {"first", "cached"}) {
            SCOPED_TRACE(pass);
            const ScanStats stats = scan(roots, &cache);
            EXPECT_EQ(stats.files_scanned, static_cast<std::uint64_t>(c.files));
            if (c.files > 0) {
                EXPECT_EQ(paths_of(stats.malicious_files), std::vector<fs::path>{bad_files[k]});
            } else {
                EXPECT_TRUE(stats.malicious_files.empty());
            }
            EXPECT_EQ(stats.cache_hits,
                      std::string(pass) == "cached" ? static_cast<std::uint64_t>(c.files) : 0u);
            // A group of no files has no folder either.
            EXPECT_EQ(stats.error_files.size() + stats.missing_roots.size(),
                      (c.failing_root_after ? 1u : 0u) + (c.files == 0 ? 1u : 0u));
        }
    }
}

// Files vanish, shrink, grow and turn into folders while they are scanned: every file still ends
// up counted once as scanned or as an error, and the scan finishes.
TEST_F(ScanDirectoryTest, TreeChangingDuringTheScan) {
    bench.load_database({std::string(64, '0')});
    const int kFiles = 400;
    for (int i = 0; i < kFiles; ++i) {
        bench.write("busy/f" + std::to_string(i) + ".exe", std::string(20000 + i, 'q'));
    }
    std::atomic<bool> stop{false};
    std::thread vandal([&] {
        for (int round = 0; !stop.load(); ++round) {
            const auto victim =
                bench.dir / "busy" / ("f" + std::to_string(round % kFiles) + ".exe");
            std::error_code ec;
            switch (round % 4) {
                case 0:
                    fs::remove(victim, ec);
                    break;
                case 1:
                    fs::resize_file(victim, 10, ec);
                    break;
                case 2:
                    std::ofstream(victim, std::ios::app) << std::string(5000, 'z');
                    break;
                case 3:
                    fs::remove(victim, ec);
                    fs::create_directory(victim, ec);
                    break;
            }
        }
    });
    ScanConfig config;
    config.enable_heuristics = true;
    HashCache cache((bench.dir / "hash_cache.bin").string());
    const ScanStats stats = scan({(bench.dir / "busy").string()}, &cache, config);
    stop = true;
    vandal.join();
    const auto files = stats.files_scanned;
    const auto errors = stats.error_count();
    EXPECT_LE(files + errors, static_cast<std::uint64_t>(kFiles));
    EXPECT_GT(files + errors, 0u);
    for (const auto& error : stats.error_files) EXPECT_FALSE(error.reason.empty());
}

}  // namespace
