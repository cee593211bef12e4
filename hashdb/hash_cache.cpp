#include "hashdb/hash_cache.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/file_info.h"

namespace {

constexpr std::size_t kHashLength = 64;
// Every entry holds at least its length, size and time fields and the hash.
constexpr std::size_t kFixedEntryBytes = 8 + 8 + 8 + kHashLength;

void put_u64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

class Reader {
  public:
    explicit Reader(std::string_view data) : data(data) {}

    std::size_t remaining() const { return data.size() - position; }

    bool u64(std::uint64_t& value) {
        if (remaining() < 8) return false;
        value = 0;
        for (int i = 0; i < 8; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[position + i]))
                     << (8 * i);
        }
        position += 8;
        return true;
    }

    bool bytes(std::size_t count, std::string& out) {
        if (remaining() < count) return false;
        out.assign(data.substr(position, count));
        position += count;
        return true;
    }

  private:
    std::string_view data;
    std::size_t position = 0;
};

bool is_hash_text(const std::string& hash) {
    if (hash.size() != kHashLength) return false;
    for (char c : hash) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool read_whole_file(const std::string& path, std::string& content, bool& opened) {
    // A folder can be opened as a stream on some systems and reports a meaningless size.
    std::error_code error;
    opened = false;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    opened = static_cast<bool>(in);
    if (!opened) return false;
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    in.seekg(0);
    content.resize(static_cast<std::size_t>(size));
    in.read(content.data(), static_cast<std::streamsize>(size));
    return in.gcount() == static_cast<std::streamsize>(size);
}

}  // namespace

std::string serialize_hash_cache(const std::vector<CacheEntry>& entries) {
    std::size_t total = 8;
    for (const auto& entry : entries) total += kFixedEntryBytes + entry.key.size();
    std::string out;
    out.reserve(total);
    put_u64(out, entries.size());
    for (const auto& entry : entries) {
        put_u64(out, entry.key.size());
        out += entry.key;
        put_u64(out, static_cast<std::uint64_t>(entry.size));
        put_u64(out, entry.last_write_time);
        out += entry.hash;
    }
    return out;
}

bool parse_hash_cache(std::string_view data, std::vector<CacheEntry>& entries) {
    Reader reader(data);
    std::uint64_t count = 0;
    // An empty file is an empty cache.
    if (!data.empty() && !reader.u64(count)) return false;
    if (count > reader.remaining() / kFixedEntryBytes) return false;

    std::vector<CacheEntry> parsed;
    parsed.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        CacheEntry entry;
        std::uint64_t key_length = 0;
        std::uint64_t size = 0;
        if (!reader.u64(key_length) || key_length > reader.remaining() ||
            !reader.bytes(static_cast<std::size_t>(key_length), entry.key) || !reader.u64(size) ||
            !reader.u64(entry.last_write_time) || !reader.bytes(kHashLength, entry.hash) ||
            !is_hash_text(entry.hash)) {
            return false;
        }
        entry.size = static_cast<std::int64_t>(size);
        parsed.push_back(std::move(entry));
    }
    entries = std::move(parsed);
    return true;
}

HashCache::HashCache(std::string file_path) : file_path(std::move(file_path)) {}

bool HashCache::load() {
    std::string data;
    bool opened = false;
    const bool read = read_whole_file(file_path, data, opened);
    if (!opened) return false;

    std::vector<CacheEntry> parsed;
    const bool intact = read && parse_hash_cache(data, parsed);

    std::lock_guard<std::mutex> lock(mutex);
    entries = std::move(parsed);
    index.clear();
    repeated_keys.clear();
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto [first, inserted] = index.emplace(entries[i].key, i);
        if (!inserted) repeated_keys[first->first].push_back(i);
    }
    return intact;
}

bool HashCache::save() {
    std::string data;
    {
        std::lock_guard<std::mutex> lock(mutex);
        data = serialize_hash_cache(entries);
    }
    platform::AtomicFileWriter writer{std::filesystem::path(file_path)};
    if (!writer.ok()) return false;
    writer.stream().write(data.data(), static_cast<std::streamsize>(data.size()));
    return writer.commit();
}

bool HashCache::lookup(const std::filesystem::path& path, std::string& hash_out) {
    const std::string key = platform::narrow_path_key(path);
    std::int64_t size = 0;
    std::uint64_t last_write_time = 0;
    // The disk is asked outside the lock, so workers never wait on each other's file queries.
    if (!platform::query_file_stamp(path, size, last_write_time)) return false;

    std::lock_guard<std::mutex> lock(mutex);
    const auto found = index.find(key);
    if (found == index.end()) return false;
    const auto matches = [&](std::size_t position) {
        const CacheEntry& entry = entries[position];
        return entry.size == size && entry.last_write_time == last_write_time;
    };
    std::size_t hit = found->second;
    if (!matches(hit)) {
        const auto repeats = repeated_keys.find(key);
        if (repeats == repeated_keys.end()) return false;
        bool any = false;
        for (std::size_t position : repeats->second) {
            if (matches(position)) {
                hit = position;
                any = true;
                break;
            }
        }
        if (!any) return false;
    }
    hash_out = entries[hit].hash;
    return true;
}

void HashCache::store(const std::filesystem::path& path, const std::string& hash) {
    // Only a digest text keeps the file layout (a fixed 64-byte hash field) valid.
    if (!is_hash_text(hash)) return;
    std::string key = platform::narrow_path_key(path);
    std::int64_t size = 0;
    std::uint64_t last_write_time = 0;
    if (!platform::query_file_stamp(path, size, last_write_time)) return;

    std::lock_guard<std::mutex> lock(mutex);
    const auto found = index.find(key);
    if (found != index.end()) {
        CacheEntry& entry = entries[found->second];
        entry.size = size;
        entry.last_write_time = last_write_time;
        entry.hash = hash;
        return;
    }
    index.emplace(key, entries.size());
    entries.push_back(CacheEntry{std::move(key), size, last_write_time, hash});
}

std::size_t HashCache::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}

std::vector<CacheEntry> HashCache::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}
