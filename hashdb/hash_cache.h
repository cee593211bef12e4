// Remembers the hash of every file a scan hashed, with the file's size and last-write time, so an
// unchanged file is not read again. Kept between runs in "hash_cache.bin". Safe to use from many
// threads: the file's attributes are read outside the lock, only the table is locked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
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

    // Replaces the entries with the file's; false when it cannot be opened or is damaged.
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
    mutable std::mutex mutex;
    std::string file_path;
};
