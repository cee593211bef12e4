// The memory of rule matches: kept per file stamp for one rule set, saved and loaded back,
// forgotten for another set, and its file layout read defensively.
#include "hashdb/rule_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

const platform::FileStamp kStamp{120, 133000000000000000};

std::vector<RuleCacheEntry> sorted(std::vector<RuleCacheEntry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const RuleCacheEntry& a, const RuleCacheEntry& b) { return a.key < b.key; });
    return entries;
}

TEST(RuleCacheTest, AnOutcomeHoldsForTheStampItWasMatchedWith) {
    test_support::TempDir dir;
    RuleCache cache(dir / "rule_cache.bin", "set-1");
    Names found{"stale"};
    EXPECT_FALSE(cache.lookup_key("/a", kStamp, found));
    cache.store_key("/a", kStamp, {});
    cache.store_key("/b", kStamp, {"Dropper", "Packed"});
    ASSERT_TRUE(cache.lookup_key("/a", kStamp, found));
    EXPECT_EQ(found, Names{});
    ASSERT_TRUE(cache.lookup_key("/b", kStamp, found));
    EXPECT_EQ(found, (Names{"Dropper", "Packed"}));
    for (const platform::FileStamp other :
         {platform::FileStamp{121, kStamp.last_write_time}, platform::FileStamp{120, 1}}) {
        EXPECT_FALSE(cache.lookup_key("/b", other, found));
    }
    // A file matched again after a change replaces its entry.
    cache.store_key("/b", platform::FileStamp{121, 5}, {"Dropper"});
    EXPECT_FALSE(cache.lookup_key("/b", kStamp, found));
    ASSERT_TRUE(cache.lookup_key("/b", platform::FileStamp{121, 5}, found));
    EXPECT_EQ(found, Names{"Dropper"});
    EXPECT_EQ(cache.size(), 2u);
}

TEST(RuleCacheTest, SavedEntriesLoadBackForTheSameSetOnly) {
    test_support::TempDir dir;
    const fs::path file = dir / "rule_cache.bin";
    {
        RuleCache cache(file, "set-1");
        cache.store_key("/x/clean", kStamp, {});
        cache.store_key("/x/bad1", kStamp, {"A", "B"});
        cache.store_key("/x/bad2", platform::FileStamp{7, 8}, {"A", "B"});
        cache.store_key("/x/bad3", kStamp, {"C"});
        ASSERT_TRUE(cache.save());
    }
    RuleCache same(file, "set-1");
    ASSERT_TRUE(same.load());
    const auto entries = sorted(same.snapshot());
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].key, "/x/bad1");
    EXPECT_EQ(entries[0].rules, (Names{"A", "B"}));
    EXPECT_EQ(entries[1].stamp, (platform::FileStamp{7, 8}));
    EXPECT_EQ(entries[1].rules, (Names{"A", "B"}));
    EXPECT_EQ(entries[2].rules, Names{"C"});
    EXPECT_EQ(entries[3].key, "/x/clean");
    EXPECT_EQ(entries[3].rules, Names{});

    // Another rule set finds nothing, and its first save replaces the file.
    RuleCache other(file, "set-2");
    EXPECT_TRUE(other.load());
    EXPECT_EQ(other.size(), 0u);
    ASSERT_TRUE(other.save());
    RuleCache again(file, "set-1");
    EXPECT_TRUE(again.load());
    EXPECT_EQ(again.size(), 0u);
}

// The loaded entries are looked up in the file's own bytes; what is stored after the load takes
// their place, and a key the file repeats holds its last entry.
TEST(RuleCacheTest, EntriesStoredAfterTheLoadReplaceTheLoadedOnes) {
    test_support::TempDir dir;
    std::vector<RuleCacheEntry> written;
    for (int i = 0; i < 500; ++i) {
        written.push_back({"/tree/file-" + std::to_string(i), kStamp, {}});
    }
    written.push_back({"/tree/file-7", kStamp, {"Later"}});  // the repeat holds
    dir.write("rule_cache.bin", serialize_rule_cache("set-1", written));
    RuleCache cache(dir / "rule_cache.bin", "set-1");
    ASSERT_TRUE(cache.load());
    EXPECT_EQ(cache.size(), 500u);
    Names found;
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(cache.lookup_key("/tree/file-" + std::to_string(i), kStamp, found)) << i;
        EXPECT_EQ(found, i == 7 ? Names{"Later"} : Names{}) << i;
    }
    // The caches keep no file identity: a stamp that carries one finds the same version.
    const platform::FileStamp with_identity{kStamp.size, kStamp.last_write_time, {3, 4}};
    EXPECT_TRUE(cache.lookup_key("/tree/file-1", with_identity, found));

    const platform::FileStamp newer{kStamp.size, kStamp.last_write_time + 1};
    cache.store_key("/tree/file-1", newer, {"Dropper"});
    cache.store_key("/tree/new", kStamp, {});
    EXPECT_EQ(cache.size(), 501u);
    EXPECT_FALSE(cache.lookup_key("/tree/file-1", kStamp, found));
    ASSERT_TRUE(cache.lookup_key("/tree/file-1", newer, found));
    EXPECT_EQ(found, Names{"Dropper"});

    ASSERT_TRUE(cache.save());
    RuleCache again(dir / "rule_cache.bin", "set-1");
    ASSERT_TRUE(again.load());
    const auto entries = sorted(again.snapshot());
    ASSERT_EQ(entries.size(), 501u);
    const auto entry_of = [&](const std::string& key) {
        return std::find_if(entries.begin(), entries.end(),
                            [&](const RuleCacheEntry& e) { return e.key == key; });
    };
    ASSERT_NE(entry_of("/tree/file-1"), entries.end());
    EXPECT_EQ(entry_of("/tree/file-1")->stamp, newer);
    EXPECT_EQ(entry_of("/tree/file-1")->rules, Names{"Dropper"});
    EXPECT_EQ(entry_of("/tree/file-7")->rules, Names{"Later"});
    EXPECT_NE(entry_of("/tree/new"), entries.end());
}

TEST(RuleCacheTest, ADamagedOrMissingFileLeavesTheCacheEmpty) {
    test_support::TempDir dir;
    const fs::path file = dir / "rule_cache.bin";
    RuleCache cache(file, "set-1");
    EXPECT_FALSE(cache.load());
    cache.store_key("/a", kStamp, {"A"});
    ASSERT_TRUE(cache.save());
    const std::string whole = test_support::read_file(file);
    dir.write("rule_cache.bin", whole.substr(0, whole.size() - 1));
    RuleCache damaged(file, "set-1");
    damaged.store_key("/kept?", kStamp, {});
    EXPECT_FALSE(damaged.load());
    EXPECT_EQ(damaged.size(), 0u);
}

TEST(RuleCacheTest, NothingIsWrittenWhenNothingChanged) {
    test_support::TempDir dir;
    const fs::path file = dir / "rule_cache.bin";
    {
        RuleCache cache(file, "set-1");
        cache.store_key("/a", kStamp, {"A"});
        ASSERT_TRUE(cache.save());
    }
    RuleCache cache(file, "set-1");
    ASSERT_TRUE(cache.load());
    // The same outcome stored again is no change; a save leaves the file as it is.
    cache.store_key("/a", kStamp, {"A"});
    dir.write("rule_cache.bin", "left alone");
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(test_support::read_file(file), "left alone");
    cache.store_key("/b", kStamp, {});
    ASSERT_TRUE(cache.save());
    RuleCache reloaded(file, "set-1");
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.size(), 2u);
}

// The layout as a file written independently of this code: a change to the format shows here.
TEST(RuleCacheTest, GoldenFileReadsAndIsWrittenBackByteForByte) {
    const auto golden = fs::path(__FILE__).parent_path() / "data" / "golden_rule_cache.bin";
    const std::string bytes = test_support::read_file(golden);
    ASSERT_EQ(bytes.size(), 309u) << golden;
    std::string set;
    std::vector<RuleCacheEntry> entries;
    ASSERT_TRUE(parse_rule_cache(bytes, set, entries));
    EXPECT_EQ(set, "0123abcd");
    ASSERT_EQ(entries.size(), 4u);
    const std::vector<RuleCacheEntry> expected = {
        {"/home/u/Downloads/clean.bin", {5, 133500000000000000u}, {}},
        {"/home/u/Downloads/tool.exe", {70000, 133500000010000000u}, {"Dropper"}},
        {"/srv/b\xff.dat", {12, 133500000020000000u}, {"Loader", "Beacon"}},
        {"/srv/c.dat", {1, 1}, {"Dropper"}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].key, expected[i].key) << i;
        EXPECT_EQ(entries[i].stamp, expected[i].stamp) << i;
        EXPECT_EQ(entries[i].rules, expected[i].rules) << i;
    }
    EXPECT_EQ(serialize_rule_cache(set, entries), bytes);
}

TEST(RuleCacheTest, TheLayoutIsReadDefensively) {
    const std::vector<RuleCacheEntry> entries = {
        {"/one", kStamp, {}}, {"/two", {1, 2}, {"R1", "R2"}}, {"/three", {3, 4}, {"R1", "R2"}}};
    const std::string data = serialize_rule_cache("identity", entries);
    std::string set;
    std::vector<RuleCacheEntry> parsed;
    ASSERT_TRUE(parse_rule_cache(data, set, parsed));
    EXPECT_EQ(set, "identity");
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[1].key, "/two");
    EXPECT_EQ(parsed[1].stamp, (platform::FileStamp{1, 2}));
    EXPECT_EQ(parsed[2].rules, (Names{"R1", "R2"}));
    // The one outcome both files share is stored once.
    std::size_t stored = 0;
    for (auto at = data.find("R1"); at != std::string::npos; at = data.find("R1", at + 1)) {
        ++stored;
    }
    EXPECT_EQ(stored, 1u);

    for (std::size_t length = 0; length < data.size(); ++length) {
        EXPECT_FALSE(parse_rule_cache(data.substr(0, length), set, parsed)) << length;
    }
    EXPECT_FALSE(parse_rule_cache(data + "x", set, parsed));
    std::string bad_index = data;
    bad_index[bad_index.size() - 8] = 2;  // the last entry's outcome: there is only one
    EXPECT_FALSE(parse_rule_cache(bad_index, set, parsed));
    std::string bad_magic = data;
    bad_magic[0] = 'X';
    EXPECT_FALSE(parse_rule_cache(bad_magic, set, parsed));
    EXPECT_EQ(parsed.size(), 3u);  // untouched by the failures
}

}  // namespace
