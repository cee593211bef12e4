#include "app/interactive_scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "hashdb/hash_cache.h"
#include "scanner/scan_fixture.h"

namespace {

namespace fs = std::filesystem;

// One menu scan of `roots` with `typed` answering the post-scan menu; returns the console text
// and leaves in `unread` what the scan did not read of the input.
class InteractiveScanTest : public ::testing::Test {
  protected:
    std::string scan(const std::vector<std::string>& roots, HashCache* cache,
                     const std::string& typed = "5\n") {
        std::istringstream input(typed);
        PostScanOptions options;
        options.input = &input;
        options.export_folder = bench.dir / "exports";
        fs::create_directories(options.export_folder);
        ScanRequest request;
        request.roots = roots;
        request.threads = 2;
        test_support::CoutCapture capture;
        run_interactive_scan(request, bench.checker, bench.logger, cache, true, options);
        unread.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
        return capture.text();
    }

    scan_fixture::ScanBench bench;
    std::string unread;
};

TEST_F(InteractiveScanTest, ProgressCacheLineReportMenuAndLogInThatOrder) {
    const auto bad = bench.write("tree/bad.bin", "bad");
    bench.write("tree/good.bin", "good");
    bench.load_database({scan_fixture::hash_of(bad)});
    HashCache cache((bench.dir / "hash_cache.bin").string());

    const std::string out = scan({(bench.dir / "tree").string()}, &cache);
    const auto done = out.find("[DONE] Scan completed successfully.\n");
    const auto saved = out.find("[INFO] Hash cache saved. Cache hits: 0\n");
    const auto report = out.find("SCAN REPORT");
    const auto menu = out.find("Your choice (1-5): ");
    ASSERT_NE(done, std::string::npos) << out;
    EXPECT_LT(done, saved);
    EXPECT_LT(saved, report);
    EXPECT_LT(report, menu);
    EXPECT_NE(out.find("\n -> " + bad.string() + "\n"), std::string::npos) << out;
    EXPECT_NE(bench.log_text().find("Scan Finished. Files: 2\n"), std::string::npos);

    // The cache was saved: a fresh one loads every hashed file, and the next scan uses it.
    HashCache reloaded((bench.dir / "hash_cache.bin").string());
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.size(), 2u);
    EXPECT_NE(scan({(bench.dir / "tree").string()}, &cache).find("Cache hits: 2\n"),
              std::string::npos);

    // Without a cache there is no cache line.
    EXPECT_EQ(scan({(bench.dir / "tree").string()}, nullptr).find("Hash cache"), std::string::npos);
}

TEST_F(InteractiveScanTest, ACacheThatCannotBeSavedIsReportedNotClaimedSaved) {
    bench.load_database({std::string(64, '0')});
    bench.write("tree/x.bin", "x");
    HashCache cache((bench.dir / "no-such-folder" / "hash_cache.bin").string());

    const std::string out = scan({(bench.dir / "tree").string()}, &cache);
    EXPECT_EQ(out.find("[INFO] Hash cache saved."), std::string::npos) << out;
    EXPECT_NE(out.find("[WARN] Hash cache could not be saved. Cache hits: 0\n"), std::string::npos)
        << out;
    EXPECT_NE(bench.log_text().find("[WARN] Hash cache could not be saved\n"), std::string::npos);
}

// Lists and exports stay on screen until Enter: the return wait follows actions 2, 3 and 4 only.
TEST_F(InteractiveScanTest, ReturnWaitAfterTheActionsThatShowSomething) {
    const auto bad = bench.write("tree/bad.bin", "bad");
    bench.load_database({scan_fixture::hash_of(bad)});
    const std::string wait = "\nPress Enter to return to menu...";
    struct Case {
        const char* typed;
        bool waits;
        const char* unread;
    };
    const Case cases[] = {
        {"2\n\nnext", true, "next"},  {"3\n\nnext", true, "next"}, {"4\n\nnext", true, "next"},
        {"5\nnext", false, "\nnext"}, {"x\nnext", false, "next"},
    };
    for (const auto& c : cases) {
        const std::string out = scan({(bench.dir / "tree").string()}, nullptr, c.typed);
        const bool waited = out.size() >= wait.size() &&
                            out.compare(out.size() - wait.size(), wait.size(), wait) == 0;
        EXPECT_EQ(waited, c.waits) << c.typed << out;
        EXPECT_EQ(unread, c.unread) << c.typed;
    }
    EXPECT_NE(scan({(bench.dir / "tree").string()}, nullptr, "4\n\n").find("Report exported to: "),
              std::string::npos);
}

}  // namespace
