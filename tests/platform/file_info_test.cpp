#include "platform/file_info.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <type_traits>

#include "support/test_support.h"

namespace {

using test_support::TempDir;

// The stored time scale is the same on both systems: 100-ns units since 1601-01-01 UTC.
TEST(QueryFileStamp, ReportsSizeAndWriteTimeOnTheCommonScale) {
    using namespace std::chrono;
    using FileClock = std::filesystem::file_time_type::clock;
    TempDir dir;
    const auto file = dir.write("stamp.txt", "twelve bytes");
    const auto moment = sys_days{year{2021} / 3 / 4} + hours{5} + nanoseconds{123456700};
    std::filesystem::last_write_time(file, FileClock::from_sys(moment));
    // The Windows runtime sets whole seconds only; take the time the file really got.
    const auto set = FileClock::to_sys(std::filesystem::last_write_time(file));
    ASSERT_TRUE(set == moment || set == floor<seconds>(moment));
    const auto sub_second = duration_cast<nanoseconds>(set - floor<seconds>(set)).count() / 100;

    std::int64_t size = -1;
    std::uint64_t time = 0;
    ASSERT_TRUE(platform::query_file_stamp(file, size, time));
    EXPECT_EQ(size, 12);
    // 2021-03-04 05:00:00 UTC is 1614834000 s after 1970, which is 11644473600 s after 1601.
    EXPECT_EQ(time, (1614834000ull + 11644473600ull) * 10000000ull +
                        static_cast<std::uint64_t>(sub_second));
}

TEST(QueryFileStamp, FailsForMissingFilesAndFolders) {
    TempDir dir;
    std::int64_t size = -1;
    std::uint64_t time = 7;
    EXPECT_FALSE(platform::query_file_stamp(dir / "missing", size, time));
    EXPECT_FALSE(platform::query_file_stamp(dir.path(), size, time));
    EXPECT_EQ(size, -1);
    EXPECT_EQ(time, 7u);
}

TEST(NarrowPathKey, KeepsTheSpellingUnchanged) {
    const std::filesystem::path paths[] = {"C:\\Users\\Ana\\file.EXE", "c:/users/ana/file.exe",
                                           "relative/./x", ""};
    for (const auto& path : paths) {
        EXPECT_EQ(platform::narrow_path_key(path), path.string());
    }
}

// Windows keys keep the low byte of each UTF-16 unit, so two characters that differ only in the
// high byte share a key; elsewhere the key is the path's own bytes.
TEST(NarrowPathKey, NonAsciiCharacters) {
    if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
        const std::filesystem::path lstroke(L"dir\\\u0141.txt");  // U+0141 keeps 0x41, "A"
        EXPECT_EQ(platform::narrow_path_key(lstroke), "dir\\A.txt");
        EXPECT_EQ(platform::narrow_path_key(std::filesystem::path(L"\u00e9\u0100")),
                  std::string("\xe9\x00", 2));
    } else {
        const std::string bytes = "dir/\xc5\x81.txt\xff";
        EXPECT_EQ(platform::narrow_path_key(std::filesystem::path(bytes)), bytes);
    }
}

TEST(NarrowPath, AsciiPathsAreUnchanged) {
    std::string out = "old";
    ASSERT_TRUE(platform::narrow_path("C:\\Temp\\a b.txt", out));
    EXPECT_EQ(out, "C:\\Temp\\a b.txt");
    ASSERT_TRUE(platform::narrow_path("", out));
    EXPECT_EQ(out, "");
}

}  // namespace
