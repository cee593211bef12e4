#include "platform/folder_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::EntryKind;
using platform::FolderReader;
using test_support::TempDir;

const char* name_of(EntryKind kind) {
    switch (kind) {
        case EntryKind::kFile:
            return "file";
        case EntryKind::kFolder:
            return "folder";
        case EntryKind::kLink:
            return "link";
        case EntryKind::kOther:
            return "other";
        case EntryKind::kUnknown:
            return "unknown";
    }
    return "?";
}

// Every entry the reader lists, by name, with its kind as the listing or (when the listing does
// not say) the entry itself tells it.
std::map<std::string, std::string> listed(FolderReader& reader) {
    std::map<std::string, std::string> entries;
    FolderReader::Text name;
    EntryKind kind = EntryKind::kUnknown;
    while (reader.next(name, kind)) {
        if (kind == EntryKind::kUnknown) kind = reader.kind_of(name.c_str(), false);
        entries[fs::path(name).string()] = name_of(kind);
    }
    return entries;
}

bool make_links(const TempDir& dir) {
    std::error_code ec;
    fs::create_symlink(dir / "data.bin", dir / "file_link", ec);
    if (!ec) fs::create_directory_symlink(dir / "sub", dir / "folder_link", ec);
    if (!ec) fs::create_symlink(dir / "missing", dir / "dangling", ec);
    return !ec;
}

TEST(FolderReader, ListsEveryEntryOnceWithItsOwnKind) {
    TempDir dir;
    dir.write("data.bin", "12345");
    dir.write("sub/inner.txt", "x");
    FolderReader reader(dir.path());
    ASSERT_FALSE(reader.error()) << reader.error().message();
    const std::map<std::string, std::string> expected = {{"data.bin", "file"}, {"sub", "folder"}};
    EXPECT_EQ(listed(reader), expected);
    // The end of the listing is not an error, and stays the end.
    FolderReader::Text name;
    EntryKind kind = EntryKind::kUnknown;
    EXPECT_FALSE(reader.next(name, kind));
    EXPECT_FALSE(reader.error());
}

TEST(FolderReader, StampsOfFilesRelativeToTheFolder) {
    TempDir dir;
    const auto data = dir.write("data.bin", "12345");
    dir.write("sub/inner.txt", "x");
    FolderReader reader(dir.path());
    ASSERT_FALSE(reader.error());

    platform::FileStamp expected;
    ASSERT_TRUE(platform::query_file_stamp(data, expected));
    platform::FileStamp stamp;
    ASSERT_TRUE(reader.query_stamp(fs::path("data.bin").c_str(), stamp));
    EXPECT_EQ(stamp, expected);
    EXPECT_EQ(stamp.size, 5);

    // Only regular files have a stamp; the stamp is left alone otherwise.
    const platform::FileStamp untouched{-1, 7};
    for (const char* name : {"sub", "missing"}) {
        stamp = untouched;
        EXPECT_FALSE(reader.query_stamp(fs::path(name).c_str(), stamp)) << name;
        EXPECT_EQ(stamp, untouched) << name;
    }
    EXPECT_STREQ(name_of(reader.kind_of(fs::path("sub").c_str(), false)), "folder");
    EXPECT_STREQ(name_of(reader.kind_of(fs::path("data.bin").c_str(), true)), "file");
    EXPECT_STREQ(name_of(reader.kind_of(fs::path("missing").c_str(), true)), "other");
}

// A link is listed as a link; asked through the reader, it is read through to its target.
TEST(FolderReader, LinksAreListedAsLinksAndReadThroughOnRequest) {
    TempDir dir;
    const auto data = dir.write("data.bin", "12345");
    dir.write("sub/inner.txt", "x");
    if (!make_links(dir)) GTEST_SKIP() << "symbolic links cannot be made here";
    FolderReader reader(dir.path());
    ASSERT_FALSE(reader.error());
    EXPECT_EQ(listed(reader), (std::map<std::string, std::string>{{"data.bin", "file"},
                                                                  {"sub", "folder"},
                                                                  {"file_link", "link"},
                                                                  {"folder_link", "link"},
                                                                  {"dangling", "link"}}));

    platform::FileStamp expected;
    ASSERT_TRUE(platform::query_file_stamp(data, expected));
    platform::FileStamp stamp;
    ASSERT_TRUE(reader.query_stamp(fs::path("file_link").c_str(), stamp));
    EXPECT_EQ(stamp, expected);
    for (const char* name : {"dangling", "folder_link"}) {
        EXPECT_FALSE(reader.query_stamp(fs::path(name).c_str(), stamp)) << name;
    }
    const struct {
        const char* name;
        bool follow;
        const char* kind;
    } cases[] = {
        {"file_link", false, "link"},   {"file_link", true, "file"},
        {"folder_link", false, "link"}, {"folder_link", true, "folder"},
        {"dangling", false, "link"},    {"dangling", true, "other"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(name_of(reader.kind_of(fs::path(c.name).c_str(), c.follow)), c.kind)
            << c.name << (c.follow ? " followed" : "");
    }
}

TEST(FolderReader, AFolderThatCannotBeOpenedSaysWhyAndListsNothing) {
    TempDir dir;
    const auto file = dir.write("plain.bin", "x");
    for (const fs::path& path : {dir / "missing", file}) {
        FolderReader reader(path);
        EXPECT_TRUE(reader.error()) << path;
        FolderReader::Text name;
        EntryKind kind = EntryKind::kUnknown;
        EXPECT_FALSE(reader.next(name, kind)) << path;
        platform::FileStamp stamp;
        EXPECT_FALSE(reader.query_stamp(fs::path("plain.bin").c_str(), stamp)) << path;
    }
    EXPECT_EQ(FolderReader(dir / "missing").error(), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(FolderReader(dir.path()).on_pseudo_file_system());
}

}  // namespace
