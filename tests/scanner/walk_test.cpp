#include "scanner/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "hashdb/hash_cache.h"
#include "platform/folder_reader.h"
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

// Skips the test where the tree cannot be built, where such long paths open by name after all, or
// where the walk opens folders by their whole path (Windows), which then fail as if missing.
#define REQUIRE_OVERLONG(tree)                                                        \
    if (!(tree).built) GTEST_SKIP() << "cannot build a tree this deep here";          \
    if (!(tree).listing_error()) GTEST_SKIP() << "this system opens such long paths"; \
    if ((tree).listing_error() == std::errc::no_such_file_or_directory)               \
    GTEST_SKIP() << "this system calls such long paths missing"

// Past the longest path the system opens by name, the walk goes on: every folder is opened
// relative to its open parent, so nothing below the limit is hidden from the scan.
TEST(WalkTest, FoldersPastThePathLimitAreWalkedRelativeToTheirParent) {
    test_support::TempDir dir;
    const OverlongTree tree(dir.path());
    REQUIRE_OVERLONG(tree);

    std::set<std::string> files;
    std::vector<fs::filesystem_error> errors;
    std::size_t longest = 0;
    walk_tree(
        dir / "tree", ScanConfig{},
        [&](const WalkedFile& file) {
            files.insert(fs::path(file.path).filename().string());
            longest = std::max(longest, file.path.size());
        },
        [&](const fs::filesystem_error& error) { errors.push_back(error); });
    EXPECT_EQ(files, (std::set<std::string>{"top.bin", "other.bin", "shallow.bin", "deep.bin"}));
    EXPECT_TRUE(errors.empty()) << errors.front().what();
    EXPECT_GT(longest, platform::FolderReader::longest_path_by_name());
}

// A file past the path limit is read, found and reported by its whole path.
TEST(WalkTest, AFilePastThePathLimitIsScannedAndFound) {
    scan_fixture::ScanBench bench;
    const OverlongTree tree(bench.dir.path());
    REQUIRE_OVERLONG(tree);
    const auto deep = tree.deep_folder / "deep.bin";
    // The tree's files hold their own names; a copy outside the tree gives the deep one's hash.
    bench.load_database({scan_fixture::hash_of(bench.write("copy.bin", "deep.bin"))});

    ScanRequest request;
    request.roots = {(bench.dir / "tree").string()};
    request.threads = 2;
    for (const char* pass : {"first", "cached"}) {
        SCOPED_TRACE(pass);
        HashCache cache((bench.dir / "hash_cache.bin").string());
        const ScanStats stats = scan_directory(request, bench.checker, bench.logger, &cache);
        EXPECT_EQ(stats.files_scanned, 4u);
        EXPECT_TRUE(stats.error_files.empty()) << stats.error_files.front().reason;
        ASSERT_EQ(stats.malicious_files.size(), 1u);
        EXPECT_EQ(stats.malicious_files[0].path, deep);
        EXPECT_EQ(stats.malicious_files[0].size, 8u);
    }
    EXPECT_NE(bench.log_text().find("[MALICIOUS] " + deep.string() + "\n"), std::string::npos);
}

}  // namespace
