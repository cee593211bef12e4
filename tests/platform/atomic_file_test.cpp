#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "platform/killed_writer.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::AtomicFileOptions;
using platform::AtomicFileWriter;
using test_support::read_file;
using test_support::TempDir;

constexpr bool kWindows = fs::path::preferred_separator == '\\';

std::set<std::string> names_in(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The names in the folder that are temporaries of the target.
std::set<std::string> temporaries_of(const fs::path& target) {
    std::set<std::string> found;
    for (const auto& name : names_in(target.parent_path())) {
        if (platform::is_temporary_name_of(name, target.filename())) found.insert(name);
    }
    return found;
}

struct Mode {
    const char* name;
    AtomicFileOptions options;
    // Linux writes to a file without a name unless asked for a named one; Windows always names it.
    bool named() const { return kWindows || options.named_temporary; }
};
const Mode kModes[] = {
    {"the system's own temporary", {}},
    {"a named temporary", {false, true}},
};

TEST(AtomicFileWriter, ReplacesTheTargetOnlyWhenCommittedAndLeavesNothingElse) {
    for (const auto& mode : kModes) {
        TempDir dir;
        const auto target = dir.write("stored.bin", "old content");
        {
            AtomicFileWriter writer(target, mode.options);
            ASSERT_TRUE(writer.ok()) << mode.name << ": " << writer.error().message();
            writer.stream() << std::string(100000, 'n') << "new content";
            writer.stream().flush();
            EXPECT_EQ(read_file(target), "old content") << mode.name;
            EXPECT_EQ(temporaries_of(target).size(), mode.named() ? 1u : 0u) << mode.name;
            EXPECT_TRUE(writer.commit()) << mode.name << ": " << writer.error().message();
            EXPECT_FALSE(writer.error()) << mode.name;
        }
        EXPECT_EQ(read_file(target), std::string(100000, 'n') + "new content") << mode.name;
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"stored.bin"}) << mode.name;
    }
}

TEST(AtomicFileWriter, AWriterDroppedWithoutCommitLeavesTheTargetAndNoTemporary) {
    for (const auto& mode : kModes) {
        TempDir dir;
        const auto target = dir.write("stored.bin", "old content");
        {
            AtomicFileWriter writer(target, mode.options);
            ASSERT_TRUE(writer.ok()) << mode.name;
            writer.stream() << "half of it";
            writer.stream().flush();
        }
        EXPECT_EQ(read_file(target), "old content") << mode.name;
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"stored.bin"}) << mode.name;
    }
}

TEST(AtomicFileWriter, TextModeWritesTheSystemsLineEnds) {
    TempDir dir;
    for (const bool text : {false, true}) {
        const auto target = dir / "lines.txt";
        AtomicFileWriter writer(target, text);
        writer.stream() << "one\ntwo\n";
        ASSERT_TRUE(writer.commit()) << writer.error().message();
        EXPECT_EQ(read_file(target), kWindows && text ? "one\r\ntwo\r\n" : "one\ntwo\n")
            << (text ? "text" : "binary");
    }
}

TEST(AtomicFileWriter, FailuresCarryAReasonAndLeaveNothingBehind) {
    for (const auto& mode : kModes) {
        TempDir dir;
        {
            AtomicFileWriter writer(dir / "missing" / "stored.bin", mode.options);
            EXPECT_FALSE(writer.ok()) << mode.name;
            EXPECT_TRUE(writer.error()) << mode.name << ": a folder that does not exist";
            writer.stream() << "lost";
            EXPECT_FALSE(writer.commit()) << mode.name;
        }
        // A folder in the target's place cannot be replaced by a file.
        dir.write("stored.bin/inside.txt", "kept");
        {
            AtomicFileWriter writer(dir / "stored.bin", mode.options);
            ASSERT_TRUE(writer.ok()) << mode.name;
            writer.stream() << "new content";
            EXPECT_FALSE(writer.commit()) << mode.name;
            EXPECT_TRUE(writer.error()) << mode.name << ": a folder in the target's place";
        }
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"stored.bin"}) << mode.name;
        EXPECT_EQ(read_file(dir / "stored.bin" / "inside.txt"), "kept") << mode.name;
    }
}

// A process killed while it writes (the helper stops after writing its temporary, before the
// commit) leaves the old file as it was; either no temporary at all, or one that the clean-up of
// the next start removes.
TEST(AtomicFileWriter, AWriterKilledPartWayLeavesNoTemporaryPastTheNextStart) {
    const auto self = platform::executable_path();
    ASSERT_TRUE(self.has_value());
    auto helper = self->parent_path() / kKilledWriterName;
    helper += self->extension();
    ASSERT_TRUE(fs::exists(helper)) << helper;
    for (const auto& mode : kModes) {
        TempDir dir;
        const auto target = dir.write("hash_cache.bin", "old cache");
        // The helper's path is not quoted: cmd.exe would take a leading quote for its own.
        const std::string command = helper.string() + " \"" + target.string() + "\"" +
                                    (mode.options.named_temporary ? " named" : "");
        ASSERT_EQ(platform::run_command(command), kKilledWriterStatus) << command;
        EXPECT_EQ(read_file(target), "old cache") << mode.name;
        // Windows removes a temporary itself once its killed writer's handle is closed; a named
        // one on Linux stays for the clean-up.
        const std::size_t left = !kWindows && mode.options.named_temporary ? 1 : 0;
        EXPECT_EQ(temporaries_of(target).size(), left) << mode.name;
        EXPECT_EQ(platform::remove_stale_temporaries(target), left) << mode.name;
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"hash_cache.bin"}) << mode.name;
        EXPECT_EQ(read_file(target), "old cache") << mode.name;
    }
}

// Another process may be saving the same file right now (a scan from a timer while the menu
// runs): its temporary is not a dead writer's and must survive the clean-up.
TEST(RemoveStaleTemporaries, LeavesTheTemporaryOfARunningWriter) {
    TempDir dir;
    const auto target = dir.write("hash_cache.bin", "old cache");
    AtomicFileWriter writer(target, AtomicFileOptions{false, true});
    ASSERT_TRUE(writer.ok());
    writer.stream() << "new cache";
    writer.stream().flush();
    const auto live = temporaries_of(target);
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(platform::remove_stale_temporaries(target), 0u);
    EXPECT_EQ(temporaries_of(target), live);
    ASSERT_TRUE(writer.commit()) << writer.error().message();
    EXPECT_EQ(read_file(target), "new cache");
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"hash_cache.bin"});
}

TEST(RemoveStaleTemporaries, RemovesOnlyFilesNamedAsTheTargetsTemporaries) {
    TempDir dir;
    const auto target = dir.write("hash_cache.bin", "cache");
    const std::set<std::string> stale = {
        "hash_cache.bin.tmp-7",
        "hash_cache.bin.tmp-2113405187-0",  // the form this program writes
        "hash_cache.bin.tmp-1234567890123-17-3",
    };
    const std::set<std::string> kept = {
        "hash_cache.bin",
        "hash_cache.bin.tmp-",
        "hash_cache.bin.tmp-1-",
        "hash_cache.bin.tmp--1",
        "hash_cache.bin.tmp-1--2",
        "hash_cache.bin.tmp-12a",
        "hash_cache.bin.tmp-1.bak",
        "hash_cache.bin.tmp",
        "hash_cache.bin.tmp1",
        "hash_cache.bin.download",
        "xhash_cache.bin.tmp-1",
        "hashes.bin.tmp-1",
        "scan_log.txt",
        "hash_cache.bin.tmp-1 copy",
    };
    for (const auto& name : stale) dir.write(name, "left by a killed save");
    for (const auto& name : kept) {
        if (name != "hash_cache.bin") dir.write(name, "someone else's");
    }
    // A folder named like a temporary is not one.
    dir.write("hash_cache.bin.tmp-9/inner.txt", "inside");
    // Nor is a link, whatever it leads to.
    std::error_code ec;
    fs::create_symlink(dir / "scan_log.txt", dir / "hash_cache.bin.tmp-8", ec);
    const bool linked = !ec;

    EXPECT_EQ(platform::remove_stale_temporaries(target), stale.size());
    std::set<std::string> expected = kept;
    expected.insert("hash_cache.bin.tmp-9");
    if (linked) expected.insert("hash_cache.bin.tmp-8");
    EXPECT_EQ(names_in(dir.path()), expected);
    EXPECT_EQ(read_file(dir / "hash_cache.bin.tmp-9" / "inner.txt"), "inside");
    EXPECT_EQ(read_file(dir / "scan_log.txt"), "someone else's");
    EXPECT_EQ(read_file(target), "cache");

    EXPECT_EQ(platform::remove_stale_temporaries(dir / "missing" / "hash_cache.bin"), 0u);
}

}  // namespace
