// Remembers the hash of every file a scan hashed, with the file's size and last-write time, so an
// unchanged file is not read again. Kept between runs in "hash_cache.bin". Safe to use from many
// threads: the file's attributes are read outside the lock, only the table is locked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hashdb/load_result.h"
#include "platform/file_info.h"
#include "platform/memory.h"

struct CacheEntry {
    std::string key;                    // the path in narrow form (narrow_path_key)
    std::int64_t size = 0;              // bytes when hashed
    std::uint64_t last_write_time = 0;  // 100-ns units since 1601-01-01 UTC when hashed
    std::string hash;                   // 64 lowercase hex characters
};

class HashCache {
  public:
    explicit HashCache(std::string file_path);

    // Replaces the entries with the file's. kNotFound when there is no file and kFailed, with the
    // reason, when it cannot be read (the entries stay either way), or when it is damaged (the
    // cache is left empty: a half-read list is not trusted).
    LoadResult load();
    // Writes every entry in list order; the old file is replaced only by a complete one. A file
    // this cache loaded or wrote is left alone while neither it nor the entries have changed
    // since, as it already holds exactly these bytes.
    bool save();

    // True and the cached hash when the file's size and last-write time are unchanged.
    bool lookup(const std::filesystem::path& path, std::string& hash_out);
    // The same for a file whose stamp the caller has just queried; the disk is not asked again.
    bool lookup(const std::filesystem::path& path, const platform::FileStamp& stamp,
                std::string& hash_out);
    // Records the hash with the file's current size and last-write time (updating in place).
    void store(const std::filesystem::path& path, const std::string& hash);
    // Records the hash with the stamp the file had when the hashed bytes were read. A stamp taken
    // after hashing could belong to newer content and would keep a stale hash valid.
    void store(const std::filesystem::path& path, const platform::FileStamp& stamp,
               const std::string& hash);

    // The same two, for a key the caller already holds (see narrow_path_key).
    bool lookup_key(std::string_view key, const platform::FileStamp& stamp, std::string& hash_out);
    void store_key(std::string_view key, const platform::FileStamp& stamp, std::string_view hash);

    std::size_t size() const;
    std::vector<CacheEntry> snapshot() const;

  private:
    // A free slot holds record 0; a used one holds the record's offset in `records` (never 0,
    // where the count lies) and the hash of its key.
    struct Slot {
        std::size_t key_hash = 0;
        std::size_t record = 0;
    };

    bool find(std::string_view key, std::size_t key_hash, const platform::FileStamp* stamp,
              std::size_t& record) const;
    using SlotTable = std::vector<Slot, platform::LargePageAllocator<Slot>>;
    using Bytes =
        std::basic_string<char, std::char_traits<char>, platform::LargePageAllocator<char>>;
    using RepeatMap = std::unordered_map<std::string, std::vector<std::size_t>>;

    // Indexes the record at `record` of `bytes`, or files it under `repeats` when an indexed
    // record already has its key.
    static void insert_slot(SlotTable& table, RepeatMap& repeats, const char* bytes,
                            std::size_t key_hash, std::size_t record);
    void rebuild_index(std::size_t capacity);

    // The entries exactly as the file lays them out, count first: a load keeps the bytes it read,
    // a new entry is appended, an update rewrites the fixed-size fields of its record in place.
    // So a load is one pass over the file, and a save writes this text as it stands.
    Bytes records;
    std::size_t count = 0;
    // Open addressing with linear probing over the first record of each key, never removing any.
    SlotTable slots;
    // The records of second and later entries with one key, in list order. Only a file written
    // elsewhere can hold such repeats; lookups still consider them, after the indexed first one.
    RepeatMap repeats;
    // Counts the changes to the entries; with the stamp the file had when it last held exactly
    // the entries of some revision, it tells save whether there is anything to write.
    std::uint64_t revision = 0;
    struct FileRecord {
        platform::FileStamp stamp;
        std::uint64_t revision = 0;
    };
    std::optional<FileRecord> on_disk;
    mutable std::mutex mutex;
    std::string file_path;
};

// The "hash_cache.bin" layout: an 8-byte count, then per entry the 8-byte key length, the key, the
// 8-byte size, the 8-byte last-write time and the 64 hash characters; integers little-endian.
std::string serialize_hash_cache(const std::vector<CacheEntry>& entries);

// Reads that layout. False, with `entries` untouched, when the data is short, a count or length
// exceeds what the data holds, or a hash is not 64 lowercase hex characters; bytes after the last
// entry are ignored. Never allocates more than the data's size.
bool parse_hash_cache(std::string_view data, std::vector<CacheEntry>& entries);
