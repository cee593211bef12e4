#include "maintenance/quarantine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "maintenance/maintenance_test_support.h"
#include "platform/file_hash.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using maintenance_test::kWindowsPaths;
using test_support::read_file;
using test_support::TempDir;

constexpr std::int64_t kNow = 1700000000;

std::string sha256_of(const fs::path& path) {
    platform::Sha256Digest digest{};
    if (!platform::sha256_file(path, digest)) return {};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// The file as a scan records it: digest, size and the stamp of the same status read.
QuarantineCandidate scanned(const fs::path& path) {
    QuarantineCandidate candidate;
    candidate.path = path;
    candidate.sha256 = sha256_of(path);
    EXPECT_TRUE(platform::query_file_stamp(path, candidate.stamp));
    candidate.size = static_cast<std::uint64_t>(candidate.stamp.size);
    candidate.reasons = {"hash"};
    return candidate;
}

QuarantineOptions options_for(bool allow_rename) {
    QuarantineOptions options;
    options.clock = [] { return kNow; };
    options.allow_rename = allow_rename;
    return options;
}

// The names in the quarantine folder other than its index and lock.
std::set<std::string> stored_names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "index.json" && name != "index.lock") names.insert(name);
    }
    return names;
}

std::vector<QuarantineItem> items_of(Quarantine& quarantine) {
    std::vector<QuarantineItem> items;
    std::string error;
    EXPECT_TRUE(quarantine.list(items, error)) << error;
    return items;
}

struct MovePath {
    const char* name;
    bool allow_rename;
};
constexpr MovePath kMovePaths[] = {{"rename", true}, {"copy and remove", false}};

TEST(Quarantine, MovesTheFileAwayAndRecordsWhereItCameFrom) {
    for (const auto& path_kind : kMovePaths) {
        SCOPED_TRACE(path_kind.name);
        TempDir dir;
        const fs::path file = dir.write("downloads/invoice.pdf.exe", "dropper bytes");
        const QuarantineCandidate candidate = scanned(file);
        Quarantine quarantine(dir / "quarantine", options_for(path_kind.allow_rename));

        const QuarantineOutcome outcome = quarantine.add(candidate);
        ASSERT_TRUE(outcome.ok()) << outcome.error;
        EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
        const fs::path stored = quarantine.stored_path(outcome.id);
        EXPECT_EQ(read_file(stored), "dropper bytes");
        // Stored under its id alone: no extension that would run it.
        EXPECT_EQ(stored.filename().string(), outcome.id);
        EXPECT_EQ(stored.extension(), "");
        EXPECT_EQ(stored_names(quarantine.folder()), std::set<std::string>{outcome.id});
        if (!kWindowsPaths) {
            EXPECT_EQ(fs::status(stored).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
        }

        // What a new process reads from the index.
        Quarantine reopened(dir / "quarantine");
        const auto items = items_of(reopened);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].id, outcome.id);
        EXPECT_EQ(items[0].original_path, file);
        EXPECT_EQ(items[0].size, 13u);
        EXPECT_EQ(items[0].sha256, candidate.sha256);
        EXPECT_EQ(items[0].reasons, std::vector<std::string>{"hash"});
        EXPECT_EQ(items[0].quarantined_at, kNow);
        // The write time kept for the restore is the one the scan saw.
        const std::int64_t written_ns = items[0].metadata.write_time_ns;
        EXPECT_EQ(platform::write_time_from_unix(written_ns / 1000000000, written_ns % 1000000000),
                  candidate.stamp.last_write_time);
    }
}

TEST(Quarantine, FilesOfTheSameNameGetTheirOwnItems) {
    TempDir dir;
    const fs::path first = dir.write("a/setup.exe", "first");
    const fs::path second = dir.write("b/setup.exe", "second");
    Quarantine quarantine(dir / "quarantine", options_for(true));
    const auto one = quarantine.add(scanned(first));
    const auto two = quarantine.add(scanned(second));
    ASSERT_TRUE(one.ok() && two.ok()) << one.error << two.error;
    EXPECT_NE(one.id, two.id);

    for (const auto& [id, path, content] :
         {std::tuple{one.id, first, "first"}, std::tuple{two.id, second, "second"}}) {
        const RestoreOutcome restored = quarantine.restore(id, std::nullopt, false);
        ASSERT_TRUE(restored.ok()) << restored.error;
        EXPECT_EQ(restored.restored_to, path);
        EXPECT_EQ(read_file(path), content);
    }
    EXPECT_TRUE(items_of(quarantine).empty());
    EXPECT_TRUE(stored_names(quarantine.folder()).empty());
}

// Between the scan and the move the file may change or be swapped: then it stays where it is.
TEST(Quarantine, LeavesAFileThatIsNoLongerTheOneScanned) {
    struct Case {
        const char* name;
        void (*change)(const fs::path& file, const TempDir& dir);
        const char* error;
    };
    const Case cases[] = {
        {"content appended",
         [](const fs::path& file, const TempDir&) {
             std::ofstream(file, std::ios::app) << " and more";
         },
         "changed since the scan"},
        {"same size, new write time",
         [](const fs::path& file, const TempDir&) {
             fs::last_write_time(file, fs::last_write_time(file) + std::chrono::hours(1));
         },
         "changed since the scan"},
        {"replaced by another file of the same size and time",
         [](const fs::path& file, const TempDir& dir) {
             const auto time = fs::last_write_time(file);
             const fs::path other = dir.write("other.bin", "same size xyz");
             fs::last_write_time(other, time);
             fs::rename(other, file);
         },
         "changed since the scan"},
        {"removed", [](const fs::path& file, const TempDir&) { fs::remove(file); },
         "gone since the scan"},
    };
    for (const auto& path_kind : kMovePaths) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(path_kind.name) + ": " + c.name);
            TempDir dir;
            const fs::path file = dir.write("x/payload.bin", "payload bytes");
            const QuarantineCandidate candidate = scanned(file);
            c.change(file, dir);
            Quarantine quarantine(dir / "quarantine", options_for(path_kind.allow_rename));
            const QuarantineOutcome outcome = quarantine.add(candidate);
            EXPECT_EQ(outcome.error, c.error);
            EXPECT_TRUE(outcome.id.empty());
            EXPECT_TRUE(items_of(quarantine).empty());
            EXPECT_TRUE(stored_names(quarantine.folder()).empty());
        }
    }
}

TEST(Quarantine, DoesNotFollowALinkPutInTheFilesPlace) {
    TempDir dir;
    const fs::path file = dir.write("x/payload.bin", "payload bytes");
    const fs::path target = dir.write("precious.txt", "not to be moved");
    const QuarantineCandidate candidate = scanned(file);
    fs::remove(file);
    std::error_code made;
    fs::create_symlink(target, file, made);
    if (made) GTEST_SKIP() << "no symbolic links here: " << made.message();
    Quarantine quarantine(dir / "quarantine", options_for(true));
    EXPECT_EQ(quarantine.add(candidate).error, "a symbolic link is in its place");
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(read_file(target), "not to be moved");
    EXPECT_TRUE(stored_names(quarantine.folder()).empty());
}

// A scan of the folder that holds the quarantine meets its items again.
TEST(Quarantine, LeavesItsOwnItemsWhereTheyAre) {
    TempDir dir;
    Quarantine quarantine(dir / "quarantine", options_for(true));
    const auto added = quarantine.add(scanned(dir.write("x.bin", "payload")));
    ASSERT_TRUE(added.ok()) << added.error;
    const QuarantineOutcome again = quarantine.add(scanned(quarantine.stored_path(added.id)));
    EXPECT_TRUE(again.ok()) << again.error;
    EXPECT_EQ(again.id, added.id);
    const auto items = items_of(quarantine);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].original_path, dir / "x.bin");
    EXPECT_EQ(stored_names(quarantine.folder()), std::set<std::string>{added.id});
}

TEST(Quarantine, RestoreRefusesToReplaceAFileUnlessForced) {
    for (const auto& path_kind : kMovePaths) {
        SCOPED_TRACE(path_kind.name);
        TempDir dir;
        const fs::path file = dir.write("tools/run.sh", "#!/bin/sh\necho hi\n");
        if (!kWindowsPaths) {
            fs::permissions(file, fs::perms::owner_all | fs::perms::group_read);
        }
        const auto written = fs::last_write_time(file) - std::chrono::hours(48);
        fs::last_write_time(file, written);
        const auto permissions = fs::status(file).permissions();
        Quarantine quarantine(dir / "quarantine", options_for(path_kind.allow_rename));
        const auto added = quarantine.add(scanned(file));
        ASSERT_TRUE(added.ok()) << added.error;

        dir.write("tools/run.sh", "a new file in the old place");
        RestoreOutcome outcome = quarantine.restore(added.id, std::nullopt, false);
        EXPECT_EQ(outcome.error, "a file is in the way; --force replaces it");
        EXPECT_EQ(read_file(file), "a new file in the old place");
        EXPECT_EQ(items_of(quarantine).size(), 1u);

        outcome = quarantine.restore(added.id, std::nullopt, true);
        ASSERT_TRUE(outcome.ok()) << outcome.error;
        EXPECT_EQ(read_file(file), "#!/bin/sh\necho hi\n");
        EXPECT_EQ(fs::status(file).permissions(), permissions);
        EXPECT_EQ(fs::last_write_time(file), written);
        EXPECT_TRUE(items_of(quarantine).empty());
        EXPECT_TRUE(stored_names(quarantine.folder()).empty());
    }
}

TEST(Quarantine, RestoresToAnotherPlaceAndDeletesForGood) {
    TempDir dir;
    Quarantine quarantine(dir / "quarantine", options_for(true));
    std::vector<std::string> ids;
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        const auto added = quarantine.add(scanned(dir.write(name, name)));
        ASSERT_TRUE(added.ok()) << added.error;
        ids.push_back(added.id);
    }

    const fs::path elsewhere = dir / "elsewhere.bin";
    const RestoreOutcome restored = quarantine.restore(ids[0], elsewhere, false);
    ASSERT_TRUE(restored.ok()) << restored.error;
    EXPECT_EQ(read_file(elsewhere), "a.bin");
    EXPECT_FALSE(fs::exists(dir / "a.bin"));

    std::size_t removed = 99;
    EXPECT_EQ(quarantine.remove("00000000", removed), "no item 00000000 in quarantine");
    EXPECT_EQ(removed, 0u);
    EXPECT_EQ(quarantine.restore("00000000", std::nullopt, false).error,
              "no item 00000000 in quarantine");
    EXPECT_EQ(quarantine.remove(ids[1], removed), "");
    EXPECT_EQ(removed, 1u);
    ASSERT_EQ(items_of(quarantine).size(), 1u);
    EXPECT_EQ(items_of(quarantine)[0].id, ids[2]);
    EXPECT_EQ(quarantine.remove("", removed), "");
    EXPECT_EQ(removed, 1u);
    EXPECT_TRUE(items_of(quarantine).empty());
    EXPECT_TRUE(stored_names(quarantine.folder()).empty());
    EXPECT_FALSE(fs::exists(dir / "b.bin"));
    EXPECT_FALSE(fs::exists(dir / "c.bin"));
}

TEST(Quarantine, FolderIsForItsOwnerOnly) {
    if (kWindowsPaths) GTEST_SKIP() << "an access list, checked by the end-to-end tests";
    TempDir dir;
    // Made fresh, and one made earlier with a wide mode: both end up owner-only.
    fs::create_directory(dir / "wide");
    fs::permissions(dir / "wide", fs::perms::all);
    for (const char* name : {"fresh", "wide"}) {
        SCOPED_TRACE(name);
        Quarantine quarantine(dir / name);
        EXPECT_EQ(quarantine.prepare(), "");
        EXPECT_EQ(fs::status(dir / name).permissions(), fs::perms::owner_all);
    }
}

TEST(Quarantine, RefusesALinkOrAFileAsItsFolder) {
    TempDir dir;
    dir.write("not-a-folder", "x");
    Quarantine on_file(dir / "not-a-folder");
    EXPECT_NE(on_file.prepare(), "");

    fs::create_directory(dir / "real");
    std::error_code made;
    fs::create_directory_symlink(dir / "real", dir / "link", made);
    if (made) GTEST_SKIP() << "no symbolic links here: " << made.message();
    Quarantine on_link(dir / "link");
    const std::string error = on_link.prepare();
    EXPECT_NE(error.find("cannot be used"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

// The index is the only record of where items came from: a damaged one is never overwritten.
TEST(Quarantine, DamagedIndexStopsEveryChange) {
    TempDir dir;
    const fs::path file = dir.write("x.bin", "payload");
    Quarantine quarantine(dir / "quarantine", options_for(true));
    ASSERT_EQ(quarantine.prepare(), "");
    for (const char* damage : {"{\"items\": [", "{\"items\": [{\"id\": \"../x\"}]}", "[]"}) {
        SCOPED_TRACE(damage);
        std::ofstream(quarantine.index_path(), std::ios::binary | std::ios::trunc) << damage;
        const QuarantineOutcome outcome = quarantine.add(scanned(file));
        EXPECT_NE(outcome.error.find("is damaged"), std::string::npos) << outcome.error;
        std::vector<QuarantineItem> items;
        std::string error;
        EXPECT_FALSE(quarantine.list(items, error));
        EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
        EXPECT_EQ(read_file(quarantine.index_path()), damage);
        EXPECT_EQ(read_file(file), "payload");
    }
}

}  // namespace
