#include "hashdb/hash_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_info.h"
#include "support/test_support.h"

namespace {

using test_support::read_file;
using test_support::TempDir;

const std::string kHashOne = "7692c3ad3540bb803c020b3aee66cd8887123234ea0c6e7143c0add73ff431ed";
const std::string kHashTwo = "3fc4ccfe745870e2c0d99f71f30ff0656c8dedd41cc1d7d3d376b0dbe685e2f3";
const std::string kHashThree = "8b5b9db0c13db24256c829aa364aa90c6d2eba318b9232a4ab9313b954d3555f";

bool same_entry(const CacheEntry& a, const CacheEntry& b) {
    return a.key == b.key && a.size == b.size && a.last_write_time == b.last_write_time &&
           a.hash == b.hash;
}

void expect_entries(const std::vector<CacheEntry>& actual,
                    const std::vector<CacheEntry>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_TRUE(same_entry(actual[i], expected[i])) << "entry " << i << ": " << actual[i].key;
    }
}

// Moves a file's last-write time by whole seconds, which every file system keeps.
void shift_write_time(const std::filesystem::path& file, int seconds) {
    std::filesystem::last_write_time(
        file, std::filesystem::last_write_time(file) + std::chrono::seconds(seconds));
}

class HashCacheTest : public ::testing::Test {
  protected:
    std::string cache_file() const { return (dir / "hash_cache.bin").string(); }

    TempDir dir;
};

// A file that both builds load and write byte for byte, so a cache written by either one loads in
// the other. It holds a key with bytes above 0x7F, an empty key, and size and time values whose
// byte order and sign show.
TEST_F(HashCacheTest, GoldenFileLoadsAndIsWrittenBackByteForByte) {
    const auto golden = std::filesystem::path(__FILE__).parent_path() / "data" / "golden_cache.bin";
    const std::string bytes = read_file(golden);
    ASSERT_EQ(bytes.size(), 324u) << golden;
    dir.write("hash_cache.bin", bytes);

    HashCache cache(cache_file());
    ASSERT_TRUE(cache.load());
    expect_entries(
        cache.snapshot(),
        {{"C:\\Users\\ana\\Desktop\\setup.exe", 1234567, 132587712000000000u, kHashOne},
         {"/home/j\xe9r\xf4me/notes.txt", 0x0102030405060708, 0xF0E0D0C0B0A09080u, kHashTwo},
         {"", 42, 1, kHashThree}});

    std::filesystem::remove(cache_file());
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(read_file(cache_file()), bytes);
}

TEST_F(HashCacheTest, SaveAndLoadKeepOrderAndFields) {
    const auto a = dir.write("b.txt", "first");
    const auto b = dir.write("a.txt", "second file");
    const auto c = dir.write("sub/c.txt", "third");
    HashCache cache(cache_file());
    cache.store(a, kHashOne);
    cache.store(b, kHashTwo);
    cache.store(c, kHashThree);
    ASSERT_TRUE(cache.save());

    HashCache reloaded(cache_file());
    ASSERT_TRUE(reloaded.load());
    expect_entries(reloaded.snapshot(), cache.snapshot());
    ASSERT_EQ(reloaded.size(), 3u);
    const auto entries = reloaded.snapshot();
    EXPECT_EQ(entries[0].key, platform::narrow_path_key(a));
    EXPECT_EQ(entries[1].size, 11);
    EXPECT_EQ(entries[2].hash, kHashThree);

    std::string hash;
    ASSERT_TRUE(reloaded.lookup(b, hash));
    EXPECT_EQ(hash, kHashTwo);
}

TEST_F(HashCacheTest, LookupHitsOnlyWhileSizeAndTimeAreUnchanged) {
    const auto file = dir.write("doc.txt", "original");
    // Whole seconds, which the Windows runtime can set back exactly.
    std::filesystem::last_write_time(
        file, std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(file)));
    HashCache cache(cache_file());
    cache.store(file, kHashOne);

    std::string hash = "untouched";
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashOne);

    // New content of the same size with the old time restored: validity rests on the stamp alone.
    const auto stamp = std::filesystem::last_write_time(file);
    dir.write("doc.txt", "replaced");
    std::filesystem::last_write_time(file, stamp);
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashOne);

    // Touched: a miss, then the new hash replaces the entry in place.
    shift_write_time(file, 60);
    hash = "untouched";
    EXPECT_FALSE(cache.lookup(file, hash));
    EXPECT_EQ(hash, "untouched");
    cache.store(file, kHashTwo);
    EXPECT_EQ(cache.size(), 1u);
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashTwo);

    // Grown: a miss.
    dir.write("doc.txt", "original and more");
    std::filesystem::last_write_time(file, stamp + std::chrono::seconds(60));
    EXPECT_FALSE(cache.lookup(file, hash));
}

TEST_F(HashCacheTest, KeysAreThePathsAsSpelled) {
    const auto file = dir.write("doc.txt", "content");
    const auto other_spelling = dir.path() / "." / "doc.txt";
    HashCache cache(cache_file());
    cache.store(file, kHashOne);
    std::string hash;
    EXPECT_FALSE(cache.lookup(other_spelling, hash));
    cache.store(other_spelling, kHashOne);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_TRUE(cache.lookup(other_spelling, hash));
}

TEST_F(HashCacheTest, NothingIsStoredForAnUnreadableFileOrABadHash) {
    const auto file = dir.write("doc.txt", "content");
    HashCache cache(cache_file());
    cache.store(dir / "missing.txt", kHashOne);
    cache.store(dir.path(), kHashOne);
    cache.store(file, "abc");
    cache.store(file, std::string(64, 'Z'));
    EXPECT_EQ(cache.size(), 0u);
    std::string hash = "untouched";
    EXPECT_FALSE(cache.lookup(dir / "missing.txt", hash));
    EXPECT_EQ(hash, "untouched");
}

TEST_F(HashCacheTest, EntriesOfDeletedFilesAreKept) {
    const auto file = dir.write("doc.txt", "content");
    HashCache cache(cache_file());
    cache.store(file, kHashOne);
    std::filesystem::remove(file);
    std::string hash;
    EXPECT_FALSE(cache.lookup(file, hash));
    ASSERT_TRUE(cache.save());
    HashCache reloaded(cache_file());
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.size(), 1u);
}

TEST_F(HashCacheTest, MissingOrEmptyFile) {
    const auto file = dir.write("doc.txt", "content");
    HashCache cache(cache_file());
    cache.store(file, kHashOne);
    // A missing file is the plain first start, and leaves the entries alone.
    const LoadResult missing = cache.load();
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.status, LoadStatus::kNotFound);
    EXPECT_EQ(missing.error, "");
    EXPECT_EQ(cache.size(), 1u);

    // So does a folder where the file should be, but it says why.
    HashCache folder(dir.path().string());
    EXPECT_EQ(folder.load().error, dir.path().string() + ": not a regular file");

    dir.write("hash_cache.bin", "");
    EXPECT_TRUE(cache.load());
    EXPECT_EQ(cache.size(), 0u);

    HashCache unwritable((dir / "no" / "hash_cache.bin").string());
    EXPECT_FALSE(unwritable.save());
}

// The same key twice can only come from a file written elsewhere; the first entry whose stamp
// matches answers, and a store refreshes the first one.
TEST_F(HashCacheTest, RepeatedKeysInALoadedFileAreSearchedInOrder) {
    const auto file = dir.write("doc.txt", "content");
    std::int64_t size = 0;
    std::uint64_t time = 0;
    ASSERT_TRUE(platform::query_file_stamp(file, size, time));
    const std::string key = platform::narrow_path_key(file);
    dir.write("hash_cache.bin", serialize_hash_cache({{key, size, time + 1, kHashOne},
                                                      {key, size, time, kHashTwo},
                                                      {key, size, time, kHashThree}}));
    HashCache cache(cache_file());
    ASSERT_TRUE(cache.load());
    std::string hash;
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashTwo);
    // New entries make the index grow and be rebuilt; the repeats are still found, in order.
    for (int i = 0; i < 40; ++i) {
        cache.store(dir.write("other" + std::to_string(i) + ".txt", "x"), kHashOne);
    }
    hash.clear();
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashTwo);

    cache.store(file, kHashThree);
    EXPECT_EQ(cache.size(), 43u);
    const auto entries = cache.snapshot();
    EXPECT_EQ(entries[0].hash, kHashThree);
    EXPECT_EQ(entries[0].last_write_time, time);
    EXPECT_EQ(entries[1].hash, kHashTwo);
}

std::string u64_bytes(std::uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

TEST(ParseHashCache, RejectsDamagedData) {
    const std::string valid = serialize_hash_cache(
        {{"first/key", 10, 20, kHashOne}, {"", -1, 0, kHashTwo}, {"k", 7, 8, kHashThree}});
    ASSERT_EQ(valid.size(), 8u + (88 + 9) + 88 + (88 + 1));

    // Every truncation of a valid file is damage (except the empty file, an empty cache).
    for (std::size_t length = 1; length < valid.size(); ++length) {
        std::vector<CacheEntry> entries = {{"keep", 1, 2, kHashOne}};
        EXPECT_FALSE(parse_hash_cache(std::string_view(valid).substr(0, length), entries))
            << length;
        ASSERT_EQ(entries.size(), 1u) << "the output is untouched on failure";
    }

    const std::string one_entry_tail = "key" + u64_bytes(1) + u64_bytes(2) + kHashOne;
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"huge count", u64_bytes(~0ull) + valid.substr(8)},
        {"count one beyond the data", u64_bytes(4) + valid.substr(8)},
        {"huge key length", u64_bytes(1) + u64_bytes(~0ull) + one_entry_tail},
        {"key length past the end", u64_bytes(1) + u64_bytes(3 + 16 + 64 + 1) + one_entry_tail},
        {"key length wrapping the size", u64_bytes(1) + u64_bytes(~0ull - 7) + one_entry_tail},
        {"uppercase hash", serialize_hash_cache({{"k", 1, 2, "A" + kHashOne.substr(1)}})},
        {"hash with a NUL", serialize_hash_cache({{"k", 1, 2, std::string(64, '\0')}})},
        {"count of 1 to 7 bytes", std::string(5, '\0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CacheEntry> entries;
        EXPECT_FALSE(parse_hash_cache(c.data, entries));
        EXPECT_TRUE(entries.empty());
    }

    // Bytes after the last entry are not part of any entry and are ignored.
    std::vector<CacheEntry> entries;
    EXPECT_TRUE(parse_hash_cache(valid + "trailing", entries));
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].size, -1);
}

// Every byte value in every position of the hash field: only the 16 lower-case hex digits pass.
// The check reads the field several characters at a time, so a value next to a range boundary or
// with the top bit set must fail wherever it stands.
TEST(ParseHashCache, AcceptsExactlyLowerCaseHexInTheHashField) {
    const std::string digits = "0123456789abcdef";
    for (std::size_t position = 0; position < 64; ++position) {
        for (int value = 0; value < 256; ++value) {
            std::string hash = kHashOne;
            hash[position] = static_cast<char>(value);
            const bool hex = digits.find(static_cast<char>(value)) != std::string::npos;
            std::vector<CacheEntry> entries;
            ASSERT_EQ(parse_hash_cache(serialize_hash_cache({{"k", 1, 2, hash}}), entries), hex)
                << "byte " << value << " at " << position;
        }
    }
}

TEST_F(HashCacheTest, DamagedFileLoadsAsAnEmptyCache) {
    const auto file = dir.write("doc.txt", "content");
    HashCache writer(cache_file());
    writer.store(file, kHashOne);
    writer.store(dir.write("other.txt", "x"), kHashTwo);
    ASSERT_TRUE(writer.save());
    const std::string valid = read_file(cache_file());

    dir.write("hash_cache.bin", valid.substr(0, valid.size() - 1));
    HashCache cache(cache_file());
    cache.store(file, kHashThree);
    const LoadResult damaged = cache.load();
    EXPECT_EQ(damaged.status, LoadStatus::kFailed);
    EXPECT_EQ(damaged.error, cache_file() + ": damaged (cut short, or not a hash cache)");
    EXPECT_EQ(cache.size(), 0u);
    std::string hash;
    EXPECT_FALSE(cache.lookup(file, hash));
    // The cache works on after a failed load.
    cache.store(file, kHashOne);
    EXPECT_TRUE(cache.lookup(file, hash));
}

// Workers look up and store at the same time; every file must end with exactly its own entry.
TEST_F(HashCacheTest, ConcurrentLookupsAndStores) {
    constexpr int kThreads = 4;
    constexpr int kFilesPerThread = 50;
    HashCache cache(cache_file());
    std::vector<std::vector<std::filesystem::path>> files(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kFilesPerThread; ++i) {
            files[t].push_back(dir.write("t" + std::to_string(t) + "/" + std::to_string(i), "x"));
        }
    }
    const std::string hashes[] = {kHashOne, kHashTwo, kHashThree, std::string(64, 'a')};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (const auto& file : files[t]) {
                std::string hash;
                if (!cache.lookup(file, hash)) cache.store(file, hashes[t]);
                cache.lookup(files[(t + 1) % kThreads].front(), hash);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(cache.size(), static_cast<std::size_t>(kThreads * kFilesPerThread));
    for (int t = 0; t < kThreads; ++t) {
        for (const auto& file : files[t]) {
            std::string hash;
            ASSERT_TRUE(cache.lookup(file, hash)) << file;
            EXPECT_EQ(hash, hashes[t]);
        }
    }
}

// With the stamp given, the cache compares it with the entry and asks the disk nothing: the file
// is gone, yet its recorded stamp still finds the hash.
TEST_F(HashCacheTest, LookupWithAStampComparesItWithTheEntryOnly) {
    const auto file = dir.write("doc.txt", "content");
    platform::FileStamp stamp;
    ASSERT_TRUE(platform::query_file_stamp(file, stamp));
    HashCache cache(cache_file());
    cache.store(file, stamp, kHashOne);
    std::filesystem::remove(file);

    std::string hash = "untouched";
    ASSERT_TRUE(cache.lookup(file, stamp, hash));
    EXPECT_EQ(hash, kHashOne);
    const struct {
        const char* name;
        std::filesystem::path path;
        platform::FileStamp stamp;
    } misses[] = {
        {"other size", file, {stamp.size + 1, stamp.last_write_time}},
        {"other time", file, {stamp.size, stamp.last_write_time + 1}},
        {"unknown path", dir / "other.txt", stamp},
    };
    for (const auto& miss : misses) {
        SCOPED_TRACE(miss.name);
        hash = "untouched";
        EXPECT_FALSE(cache.lookup(miss.path, miss.stamp, hash));
        EXPECT_EQ(hash, "untouched");
    }
    // Without a stamp the disk is asked, and a missing file never hits.
    EXPECT_FALSE(cache.lookup(file, hash));
}

// A hash stored with the stamp of the bytes it was computed from stays tied to that version: once
// the file has changed, a lookup of the file as it is now misses.
TEST_F(HashCacheTest, StoreWithAStampKeepsThatStamp) {
    const auto file = dir.write("doc.txt", "hashed version");
    platform::FileStamp hashed;
    ASSERT_TRUE(platform::query_file_stamp(file, hashed));
    dir.write("doc.txt", "changed before the store");
    shift_write_time(file, 60);

    HashCache cache(cache_file());
    cache.store(file, hashed, kHashOne);
    std::string hash;
    EXPECT_FALSE(cache.lookup(file, hash));
    ASSERT_TRUE(cache.lookup(file, hashed, hash));
    expect_entries(cache.snapshot(), {{platform::narrow_path_key(file), hashed.size,
                                       hashed.last_write_time, kHashOne}});

    // The next scan hashes the new version and its stamp replaces the old one in place.
    platform::FileStamp current;
    ASSERT_TRUE(platform::query_file_stamp(file, current));
    cache.store(file, current, kHashTwo);
    ASSERT_TRUE(cache.lookup(file, hash));
    EXPECT_EQ(hash, kHashTwo);
    EXPECT_EQ(cache.size(), 1u);
}

// Saving rewrites the file only when it may differ from the entries. A hard link to the file
// tells whether a save wrote: a write replaces the file with a new one, which the link is not.
TEST_F(HashCacheTest, SaveRewritesTheFileOnlyWhenItMayDiffer) {
    const auto a = dir.write("a.txt", "first");
    const auto b = dir.write("b.txt", "second");
    {
        HashCache writer(cache_file());
        writer.store(a, kHashOne);
        ASSERT_TRUE(writer.save());
    }
    const std::string saved = read_file(cache_file());
    const auto witness = dir / "witness";
    // Saves and reports whether the file was written anew; it then holds the entries either way.
    const auto save_wrote = [&](HashCache& cache) {
        std::filesystem::remove(witness);
        const bool present = std::filesystem::exists(cache_file());
        if (present) std::filesystem::create_hard_link(cache_file(), witness);
        EXPECT_TRUE(cache.save());
        EXPECT_EQ(read_file(cache_file()), serialize_hash_cache(cache.snapshot()));
        return !present || !std::filesystem::equivalent(cache_file(), witness);
    };

    const struct {
        const char* name;
        std::function<void(HashCache&)> change;
        bool writes;
    } cases[] = {
        {"nothing changed", [](HashCache&) {}, false},
        {"the same hash and stamp stored again", [&](HashCache& c) { c.store(a, kHashOne); },
         false},
        {"an entry added", [&](HashCache& c) { c.store(b, kHashTwo); }, true},
        {"an entry's hash changed", [&](HashCache& c) { c.store(a, kHashThree); }, true},
        {"the file removed", [&](HashCache&) { std::filesystem::remove(cache_file()); }, true},
        {"the file rewritten by another program",
         [&](HashCache&) { dir.write("hash_cache.bin", serialize_hash_cache({})); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("hash_cache.bin", saved);
        HashCache cache(cache_file());
        ASSERT_TRUE(cache.load());
        c.change(cache);
        EXPECT_EQ(save_wrote(cache), c.writes);
        // Right after a save the file holds the entries, so another save has nothing to write.
        EXPECT_FALSE(save_wrote(cache));
    }
}

// A damaged file loads as an empty cache, which the next save must write out even with no change
// since the load.
TEST_F(HashCacheTest, SaveAfterADamagedLoadWritesTheEmptyCache) {
    dir.write("hash_cache.bin", std::string(5, '\x01'));
    HashCache cache(cache_file());
    EXPECT_FALSE(cache.load());
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(read_file(cache_file()), serialize_hash_cache({}));
}

}  // namespace
