// Remembers the hash of every file a scan hashed, with the file's size and last-write time, so an
// unchanged file is not read again. Kept between runs in "hash_cache.bin". Safe to use from many
// threads: the file's attributes are read outside the lock, only the table is locked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct CacheEntry {
    std::string key;               // the path in narrow form (narrow_path_key)
    std::int64_t size = 0;         // bytes when hashed
    std::uint64_t last_write_time = 0;  // 100-ns units since 1601-01-01 UTC when hashed
    std::string hash;              // 64 lowercase hex characters
};

class HashCache {
public:
    explicit HashCache(std::string file_path);

    // Replaces the entries with the file's. False when it cannot be opened (the entries stay) or
    // is damaged (the cache is left empty: a half-read list is not trusted).
    bool load();
    // Writes every entry in list order; the old file is replaced only by a complete one.
    bool save();

    // True and the cached hash when the file's size and last-write time are unchanged.
    bool lookup(const std::filesystem::path& path, std::string& hash_out);
    // Records the hash with the file's current size and last-write time (updating in place).
    void store(const std::filesystem::path& path, const std::string& hash);

    std::size_t size() const;
    std::vector<CacheEntry> snapshot() const;

private:
    std::vector<CacheEntry> entries;
    std::unordered_map<std::string, std::size_t> index;  // key -> position in entries
    // Positions of second and later entries with one key. Only a file written elsewhere can hold
    // such repeats; lookups still consider them in list order.
    std::unordered_map<std::string, std::vector<std::size_t>> repeated_keys;
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
