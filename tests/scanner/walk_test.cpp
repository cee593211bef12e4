#include "scanner/walk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "scan_fixture.h"
#include "scanner/scan_directory.h"

namespace {

namespace fs = std::filesystem;

// A tree whose deepest folder has a path longer than the system lets a folder be opened by: every
// folder on the way can be listed, the last ones cannot (the name is too long), for a reason that
// has nothing to do with access rights. It is built as two halves of allowed length, one then
// moved into the other, and moved back out on destruction so the scratch folder can be removed.
class OverlongTree {
  public:
    explicit OverlongTree(const fs::path& root) : root(root) {
        const std::string name(200, 'd');
        fs::path low = root / "tree" / "low";
        fs::path high = root / "high";
        for (int level = 0; level < 12; ++level) {
            low /= name;
            high /= name;
        }
        std::error_code ec;
        fs::create_directories(low, ec);
        if (!ec) fs::create_directories(high, ec);
        if (ec) return;
        write(root / "tree" / "top.bin");
        write(root / "tree" / "side" / "other.bin");
        write(root / "tree" / "low" / name / "shallow.bin");
        write(high / "deep.bin");
        moved_high = low / "high";
        fs::rename(root / "high", moved_high, ec);
        if (ec) return;
        deep_folder = moved_high / fs::relative(high, root / "high");
        built = true;
    }
    ~OverlongTree() {
        std::error_code ec;
        if (built) fs::rename(moved_high, root / "high", ec);
    }
    OverlongTree(const OverlongTree&) = delete;
    OverlongTree& operator=(const OverlongTree&) = delete;

    // Why the deepest folder cannot be listed; no error when this system can list it after all.
    std::error_code listing_error() const {
        std::error_code ec;
        fs::directory_iterator probe(deep_folder, ec);
        return ec;
    }

    const fs::path root;
    fs::path moved_high;
    fs::path deep_folder;
    bool built = false;

  private:
    static void write(const fs::path& file) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << file.filename().string();
    }
};

// Skips the test where the tree cannot be built, or where its deep folders can be listed after all
// or fail as if missing (Wine says a path too long is not found), which the walk rightly ignores.
#define REQUIRE_UNLISTABLE(tree)                                                      \
    if (!(tree).built) GTEST_SKIP() << "cannot build a tree this deep here";          \
    if (!(tree).listing_error()) GTEST_SKIP() << "this system lists such long paths"; \
    if ((tree).listing_error() == std::errc::no_such_file_or_directory)               \
    GTEST_SKIP() << "this system calls such long paths missing"

TEST(WalkTest, AFolderThatCannotBeListedIsReportedAndTheWalkGoesOn) {
    test_support::TempDir dir;
    const OverlongTree tree(dir.path());
    REQUIRE_UNLISTABLE(tree);
    const std::error_code expected = tree.listing_error();

    std::set<std::string> files;
    std::vector<fs::filesystem_error> errors;
    walk_tree(
        dir / "tree", ScanConfig{},
        [&](const WalkedFile& file) { files.insert(fs::path(file.path).filename().string()); },
        [&](const fs::filesystem_error& error) { errors.push_back(error); });

    // Everything above the limit is walked, before and after the failing folder.
    EXPECT_EQ(files, (std::set<std::string>{"top.bin", "other.bin", "shallow.bin"}));
    // Only the first folder past the limit is tried: nothing below it is ever seen.
    ASSERT_EQ(errors.size(), 1u) << "listing the deepest folder fails with: " << expected.message()
                                 << " (" << expected.value() << ")";
    EXPECT_EQ(errors[0].code(), expected) << errors[0].what();
    const fs::path failed = errors[0].path1();
    EXPECT_EQ(failed.native().rfind(tree.moved_high.native(), 0), 0u) << failed;
    std::error_code ec;
    fs::directory_iterator parent(failed.parent_path(), ec);
    EXPECT_FALSE(ec) << "the reported folder's parent was listable: " << ec.message();

    // Without a handler the same walk still passes the folder over.
    files.clear();
    walk_tree(dir / "tree", ScanConfig{}, [&](const WalkedFile& file) {
        files.insert(fs::path(file.path).filename().string());
    });
    EXPECT_EQ(files.size(), 3u);
}

TEST(WalkTest, TheScanLogsAFolderItCannotListAndScansTheRest) {
    scan_fixture::ScanBench bench;
    bench.load_database({std::string(64, '0')});
    const OverlongTree tree(bench.dir.path());
    REQUIRE_UNLISTABLE(tree);

    ScanRequest request;
    request.roots = {(bench.dir / "tree").string()};
    request.threads = 2;
    const ScanStats stats = scan_directory(request, bench.checker, bench.logger, nullptr);
    EXPECT_EQ(stats.files_scanned, 3u);
    ASSERT_EQ(stats.walk_errors.size(), 1u);
    EXPECT_EQ(stats.walk_errors[0].path.native().rfind(tree.moved_high.native(), 0), 0u);

    const std::string log = bench.log_text();
    const std::string prefix = "[ERROR] Directory iteration failed: ";
    const auto at = log.find(prefix);
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(line.find(tree.listing_error().message()), std::string::npos) << line;
    EXPECT_NE(line.find(tree.moved_high.string()), std::string::npos) << line;
    EXPECT_EQ(log.find(prefix, at + 1), std::string::npos) << log;
}

}  // namespace
