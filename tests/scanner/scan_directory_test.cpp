#include "scanner/scan_directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hashdb/hash_cache.h"
#include "scan_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::CoutCapture;

// Runs one scan of `roots` with `answer` typed at the post-scan menu; returns the console text.
class ScanDirectoryTest : public ::testing::Test {
  protected:
    std::string scan(const std::vector<std::string>& roots, HashCache* cache,
                     const std::string& answer = "5\n", ScanConfig config = {}) {
        std::istringstream input(answer);
        ScanOptions options;
        options.post_scan.input = &input;
        options.post_scan.export_folder = bench.dir / "exports";
        fs::create_directories(options.post_scan.export_folder);
        options.threads = 3;
        CoutCapture capture;
        scan_directory(roots, bench.checker, bench.logger, config, cache, options);
        return capture.text();
    }

    // The rest of the report line that starts with `label`.
    static std::string report_value(const std::string& text, const std::string& label) {
        const auto at = text.find("\n" + label);
        if (at == std::string::npos) return "?";
        const auto start = at + 1 + label.size();
        return text.substr(start, text.find('\n', start) - start);
    }

    scan_fixture::ScanBench bench;
};

TEST_F(ScanDirectoryTest, FindsPlantedFilesAndReportsThem) {
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

    const std::string out = scan({tree.string()}, &cache);
    EXPECT_NE(out.find("[DONE] Scan completed successfully.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[INFO] Hash cache saved. Cache hits: 0\n"), std::string::npos) << out;
    EXPECT_EQ(report_value(out, "Path(s): "), tree.string() + "; ");
    EXPECT_EQ(report_value(out, "Files Scanned: "), "4");
    EXPECT_EQ(report_value(out, "Malicious Found: "), "2");
    EXPECT_EQ(report_value(out, "Errors: "), "1");
    EXPECT_NE(out.find("\n -> " + bad.string() + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n -> " + bad2.string() + "\n"), std::string::npos) << out;
    // The report comes after the progress line's closing output.
    EXPECT_LT(out.find("[DONE]"), out.find("SCAN REPORT"));

    const std::string log = bench.log_text();
    EXPECT_NE(log.find("[MALICIOUS] " + bad.string() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Scan Finished. Files: 4\n"), std::string::npos) << log;
    EXPECT_LT(log.find("[MALICIOUS]"), log.find("Scan Finished."));

    // The cache was saved: a fresh one loads every hashed file.
    HashCache reloaded((bench.dir / "hash_cache.bin").string());
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.size(), 4u);

    const std::string again = scan({tree.string()}, &cache);
    EXPECT_NE(again.find("[INFO] Hash cache saved. Cache hits: 4\n"), std::string::npos) << again;
    EXPECT_EQ(report_value(again, "Malicious Found: "), "2");
}

TEST_F(ScanDirectoryTest, ACacheThatCannotBeSavedIsReportedNotClaimedSaved) {
    bench.load_database({std::string(64, '0')});
    bench.write("tree/x.bin", "x");
    HashCache cache((bench.dir / "no-such-folder" / "hash_cache.bin").string());

    const std::string out = scan({(bench.dir / "tree").string()}, &cache);
    EXPECT_EQ(out.find("[INFO] Hash cache saved."), std::string::npos) << out;
    EXPECT_NE(out.find("[WARN] Hash cache could not be saved. Cache hits: 0\n"), std::string::npos)
        << out;
    EXPECT_NE(bench.log_text().find("[WARN] Hash cache could not be saved\n"), std::string::npos);
    EXPECT_EQ(report_value(out, "Files Scanned: "), "1");
}

TEST_F(ScanDirectoryTest, RootsThatDoNotExistOrCannotBeListed) {
    bench.load_database({std::string(64, '0')});
    bench.write("one/x.bin", "x");
    const std::string missing = (bench.dir / "nowhere").string();
    const std::string one = (bench.dir / "one").string();

    std::string out = scan({missing, one, missing}, nullptr);
    EXPECT_EQ(out.find("[INFO] Hash cache saved."), std::string::npos) << out;
    EXPECT_EQ(report_value(out, "Path(s): "), missing + "; " + one + "; " + missing + "; ");
    EXPECT_EQ(report_value(out, "Files Scanned: "), "1");
    std::string log = bench.log_text();
    std::size_t warnings = 0;
    for (auto at = log.find("[WARN] Path skip: " + missing + "\n"); at != std::string::npos;
         at = log.find("[WARN] Path skip: " + missing + "\n", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 2u) << log;

    // A root that is a file cannot be listed: the walk ends there, later roots are not walked.
    const auto file = bench.write("plain.bin", "x");
    out = scan({file.string(), one}, nullptr);
    EXPECT_EQ(report_value(out, "Files Scanned: "), "0");
    log = bench.log_text();
    EXPECT_NE(log.find("[ERROR] Directory iteration failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("Scan Finished. Files: 0\n"), std::string::npos) << log;
}

TEST_F(ScanDirectoryTest, EmptyRootListAndRepeatedRoot) {
    bench.load_database({std::string(64, '0')});
    bench.write("twice/a.bin", "a");
    std::string out = scan({}, nullptr);
    EXPECT_EQ(report_value(out, "Path(s): "), "");
    EXPECT_EQ(report_value(out, "Files Scanned: "), "0");
    EXPECT_NE(out.find("Your choice (1-5): "), std::string::npos);

    const std::string twice = (bench.dir / "twice").string();
    out = scan({twice, twice}, nullptr);
    EXPECT_EQ(report_value(out, "Files Scanned: "), "2");
}

TEST_F(ScanDirectoryTest, ExportActionRunsAfterTheReport) {
    const auto bad = bench.write("tree/bad.bin", "bad");
    bench.load_database({scan_fixture::hash_of(bad)});
    const std::string out = scan({(bench.dir / "tree").string()}, nullptr, "4\n");
    std::vector<fs::path> exports;
    for (const auto& entry : fs::directory_iterator(bench.dir / "exports")) {
        exports.push_back(entry.path());
    }
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_NE(out.find("Report exported to: " + exports[0].string() + "\n"), std::string::npos);
    const std::string text = test_support::read_file(exports[0]);
    EXPECT_NE(text.find("MALICIOUS FILES:"), std::string::npos) << text;
    EXPECT_NE(text.find("- " + bad.string()), std::string::npos) << text;
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
    const auto failing_root = bench.write("plain.bin", "x");
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
            const std::string out = scan(roots, &cache);
            EXPECT_EQ(report_value(out, "Files Scanned: "), std::to_string(c.files));
            if (c.files > 0) {
                const std::string entry = " -> " + bad_files[k].string() + "\n";
                const auto at = out.find(entry);
                EXPECT_NE(at, std::string::npos) << out;
                EXPECT_EQ(out.find(entry, at + 1), std::string::npos) << out;
            } else {
                EXPECT_EQ(out.find(" -> "), std::string::npos) << out;
            }
            if (std::string(pass) == "cached") {
                EXPECT_NE(out.find("Cache hits: " + std::to_string(c.files) + "\n"),
                          std::string::npos)
                    << out;
            }
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
    const std::string out = scan({(bench.dir / "busy").string()}, &cache, "5\n", config);
    stop = true;
    vandal.join();
    const auto files = std::stoull(report_value(out, "Files Scanned: "));
    const auto errors = std::stoull(report_value(out, "Errors: "));
    EXPECT_LE(files + errors, static_cast<unsigned long long>(kFiles));
    EXPECT_GT(files + errors, 0u);
}

}  // namespace
