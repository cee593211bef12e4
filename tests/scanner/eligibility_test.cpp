#include "scanner/eligibility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <system_error>

#include "platform/fs_kind.h"
#include "scanner/walk.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::TempDir;

const char* name_of(Eligibility outcome) {
    switch (outcome) {
        case Eligibility::kScan:
            return "scan";
        case Eligibility::kSkip:
            return "skip";
        case Eligibility::kPrune:
            return "prune";
    }
    return "?";
}

// Paths relative to the root, with '/' whatever the system, of the files a walk hands on.
std::set<std::string> walked_files(const fs::path& root, const ScanConfig& config = {}) {
    std::set<std::string> files;
    walk_tree(root, config, [&](const WalkedFile& file) {
        files.insert(fs::path(file.path).lexically_relative(root).generic_string());
    });
    return files;
}

// The folder name inside the first system marker ("windows", "proc", ...).
std::string first_system_folder() {
    std::string marker = platform::system_folder_markers().front();
    marker.erase(
        std::remove(marker.begin(), marker.end(), static_cast<char>(fs::path::preferred_separator)),
        marker.end());
    return marker;
}

// A path below the folder with this system's separators, as a walk would spell it.
fs::path at(const TempDir& tree, const std::string& relative) {
    return (tree / relative).make_preferred();
}

bool try_symlink(const fs::path& target, const fs::path& link, bool folder) {
    std::error_code ec;
    if (folder) {
        fs::create_directory_symlink(target, link, ec);
    } else {
        fs::create_symlink(target, link, ec);
    }
    return !ec;
}

TEST(Eligibility, FilesByNameAndPlace) {
    TempDir tree;
    struct Case {
        const char* relative;
        Eligibility expected;
    };
    const Case cases[] = {
        {"plain.bin", Eligibility::kScan},
        {"no_dot", Eligibility::kScan},
        {"ends_in_dot.", Eligibility::kScan},  // the extension is just "."
        {".gitignore", Eligibility::kScan},    // a leading dot alone is no extension
        {"x.gitignore", Eligibility::kSkip},
        {"README.MD", Eligibility::kSkip},  // extensions compare in lower case
        {"notes.Txt", Eligibility::kSkip},
        {"build.LOG", Eligibility::kSkip},
        {"archive.tar.log", Eligibility::kSkip},  // the last dot decides
        {"archive.log.tar", Eligibility::kScan},
        {"hook.sample", Eligibility::kSkip},
        {"x.gitattributes", Eligibility::kSkip},
        {"x.txt2", Eligibility::kScan},
        {"proj/.git/config", Eligibility::kPrune},  // below a marked folder
        {"proj/.GIT/config", Eligibility::kPrune},  // the path is lower-cased
        {"proj/.github/workflow.yml", Eligibility::kScan},
        {"proj/.gitx/file", Eligibility::kScan},
        {"proj/node_modules/pkg.js", Eligibility::kPrune},
        {"proj/Release/app.exe", Eligibility::kPrune},
        {"proj/x64/app.exe", Eligibility::kPrune},
        {"proj/x86/app.exe", Eligibility::kScan},
        {"proj/releases/app.exe", Eligibility::kScan},  // "release" must be the whole name
    };
    for (const auto& c : cases) tree.write(c.relative, "content");
    for (const auto& c : cases) {
        const fs::directory_entry entry(at(tree, c.relative));
        EXPECT_STREQ(name_of(check_eligibility(entry, ScanConfig{})), name_of(c.expected))
            << c.relative;
    }
}

TEST(Eligibility, FoldersAreEnteredUnlessBelowAMarker) {
    TempDir tree;
    tree.write("logs.txt/inner.bin", "x");
    tree.write("proj/.git/objects/ab/cdef", "x");
    const ScanConfig config;
    // A folder is never "scanned" and its extension does not matter.
    EXPECT_EQ(check_eligibility(fs::directory_entry(at(tree, "logs.txt")), config),
              Eligibility::kSkip);
    // The marked folder itself has no separator after its name, so it is entered ...
    EXPECT_EQ(check_eligibility(fs::directory_entry(at(tree, "proj/.git")), config),
              Eligibility::kSkip);
    // ... but everything directly inside it is pruned.
    EXPECT_EQ(check_eligibility(fs::directory_entry(at(tree, "proj/.git/objects")), config),
              Eligibility::kPrune);
    EXPECT_EQ(walked_files(tree.path()), (std::set<std::string>{"logs.txt/inner.bin"}));
}

TEST(Eligibility, RootBelowAMarkedFolderScansNothing) {
    TempDir tree;
    tree.write("Debug/x/app.exe", "x");
    tree.write("Debug/app.exe", "x");
    EXPECT_TRUE(walked_files(tree / "Debug").empty());
    EXPECT_TRUE(walked_files(tree / "Debug" / "x").empty());
    EXPECT_EQ(walked_files(tree.path()), (std::set<std::string>{}));
}

TEST(Eligibility, SystemFoldersOnlyWhenAsked) {
    TempDir tree;
    const std::string system = first_system_folder();
    tree.write(system + "/core.bin", "x");
    tree.write("other/core.bin", "x");
    ScanConfig config;
    EXPECT_EQ(walked_files(tree.path(), config),
              (std::set<std::string>{system + "/core.bin", "other/core.bin"}));
    config.skip_system_folders = true;
    EXPECT_EQ(walked_files(tree.path(), config), (std::set<std::string>{"other/core.bin"}));
}

TEST(Eligibility, LinksToFilesAreScannedLinksToFoldersAreNotEntered) {
    TempDir tree;
    tree.write("real/target.bin", "x");
    tree.write("outside/hidden.bin", "x");
    if (!try_symlink(tree / "real/target.bin", tree / "file_link.bin", false) ||
        !try_symlink(tree / "outside", tree / "real/folder_link", true) ||
        !try_symlink(tree.path(), tree / "real/loop", true) ||
        !try_symlink(tree / "missing.bin", tree / "dangling.bin", false)) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }
    EXPECT_EQ(check_eligibility(fs::directory_entry(at(tree, "file_link.bin")), ScanConfig{}),
              Eligibility::kScan);
    EXPECT_EQ(check_eligibility(fs::directory_entry(at(tree, "dangling.bin")), ScanConfig{}),
              Eligibility::kSkip);
    // The loop would make the walk endless if links were followed; the folder link would list
    // outside/hidden.bin twice.
    EXPECT_EQ(walked_files(tree.path()),
              (std::set<std::string>{"file_link.bin", "outside/hidden.bin", "real/target.bin"}));
}

TEST(Walk, FolderRemovedWhileWalkingIsPassedOver) {
    TempDir tree;
    for (const char* top : {"a", "b"}) {
        for (int i = 0; i < 20; ++i) {
            tree.write(std::string(top) + "/deep/f" + std::to_string(i), "x");
        }
        tree.write(std::string(top) + "/first", "x");
    }
    std::set<std::string> seen;
    std::string removed;
    walk_tree(tree.path(), ScanConfig{}, [&](const WalkedFile& file) {
        const std::string relative =
            fs::path(file.path).lexically_relative(tree.path()).generic_string();
        seen.insert(relative);
        if (removed.empty()) {
            removed = relative[0] == 'a' ? "b" : "a";
            fs::remove_all(tree / removed);
        }
    });
    ASSERT_FALSE(removed.empty());
    const std::string kept = removed == "a" ? "b" : "a";
    EXPECT_EQ(seen.size(), 21u);
    for (const auto& file : seen) EXPECT_EQ(file.substr(0, 1), kept) << file;
}

TEST(Walk, RootThatIsNotAFolderFails) {
    TempDir tree;
    tree.write("file.bin", "x");
    EXPECT_THROW(walked_files(tree / "file.bin"), fs::filesystem_error);
}

TEST(Walk, PseudoFileSystemsAreNeverEntered) {
    if (fs::path::preferred_separator != '/' || !fs::exists("/proc/self")) {
        GTEST_SKIP() << "no kernel process view on this system";
    }
    EXPECT_TRUE(platform::is_pseudo_file_system("/proc"));
    EXPECT_TRUE(platform::is_pseudo_file_system("/proc/self"));
    EXPECT_FALSE(platform::is_pseudo_file_system(TempDir().path()));
    EXPECT_TRUE(walked_files("/proc").empty());
    if (fs::exists("/sys/kernel")) {
        EXPECT_TRUE(walked_files("/sys").empty());
    }
}

}  // namespace
