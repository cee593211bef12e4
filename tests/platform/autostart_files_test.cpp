// Reading the small configuration files of autostart locations: only regular files of a bounded
// size, never blocking on a FIFO or device, and a loop of links failing at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/autostart.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::SmallFileStatus;

// Links and FIFOs belong to the Linux build; the registry build has neither to offer here.
bool linux_build() {
    return platform::default_autostart_locations().front().kind !=
           platform::AutostartKind::kRegistryKey;
}

TEST(ReadSmallFile, OnlyRegularFilesWithinTheSizeLimit) {
    test_support::TempDir dir;
    dir.write("unit", "[Service]\nExecStart=/x\n");
    dir.write("empty", "");
    dir.write("at-limit", std::string(32, 'x'));
    dir.write("over-limit", std::string(33, 'x'));
    fs::create_directories(dir / "folder");
    struct Case {
        std::string name;
        SmallFileStatus status;
        std::string content;
    };
    std::vector<Case> cases = {
        {"unit", SmallFileStatus::kRead, "[Service]\nExecStart=/x\n"},
        {"empty", SmallFileStatus::kRead, ""},
        {"at-limit", SmallFileStatus::kRead, std::string(32, 'x')},
        {"over-limit", SmallFileStatus::kTooLarge, ""},
        {"missing", SmallFileStatus::kMissing, ""},
        {"folder", SmallFileStatus::kNotRegular, ""},
    };
    if (linux_build()) {
        fs::create_symlink(dir / "unit", dir / "link");
        fs::create_symlink(dir / "nowhere", dir / "dangling");
        fs::create_symlink("loop-b", dir / "loop-a");
        fs::create_symlink("loop-a", dir / "loop-b");
        fs::create_symlink("/dev/null", dir / "masked");
        ASSERT_EQ(std::system(("mkfifo '" + (dir / "fifo").string() + "'").c_str()), 0);
        cases.push_back({"link", SmallFileStatus::kRead, "[Service]\nExecStart=/x\n"});
        cases.push_back({"dangling", SmallFileStatus::kMissing, ""});
        cases.push_back({"loop-a", SmallFileStatus::kFailed, ""});
        cases.push_back({"masked", SmallFileStatus::kNotRegular, ""});
        // Opening a FIFO for reading would wait for a writer; it must be refused at once.
        cases.push_back({"fifo", SmallFileStatus::kNotRegular, ""});
    }
    for (const auto& c : cases) {
        const auto file = platform::read_small_file(dir / c.name, 32);
        EXPECT_EQ(file.status, c.status) << c.name;
        EXPECT_EQ(file.content, c.content) << c.name;
        const bool has_reason =
            c.status == SmallFileStatus::kMissing || c.status == SmallFileStatus::kFailed;
        EXPECT_EQ(!file.error.empty(), has_reason) << c.name << ": " << file.error;
    }
}

}  // namespace
