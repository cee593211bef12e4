#include "hashdb/hash_cache.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <type_traits>
#include <utility>

#include "platform/atomic_file.h"

namespace {

constexpr std::size_t kHashLength = 64;
// Every entry holds at least its length, size and time fields and the hash.
constexpr std::size_t kFixedEntryBytes = 8 + 8 + 8 + kHashLength;

char* put_u64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) *out++ = static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

char* put_text(char* out, std::string_view text) {
    return std::copy(text.begin(), text.end(), out);
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

    bool bytes(std::uint64_t count, std::string_view& out) {
        if (remaining() < count) return false;
        out = data.substr(position, static_cast<std::size_t>(count));
        position += static_cast<std::size_t>(count);
        return true;
    }

  private:
    std::string_view data;
    std::size_t position = 0;
};

// A table rather than range tests: a load checks every hash character of every entry.
constexpr std::array<bool, 256> kLowerHexDigit = [] {
    std::array<bool, 256> table{};
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'f'; ++c) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

bool is_hash_text(std::string_view hash) {
    if (hash.size() != kHashLength) return false;
    bool valid = true;
    for (const char c : hash) valid &= kLowerHexDigit[static_cast<unsigned char>(c)];
    return valid;
}

// The file in one read. `opened` tells a file that could not be opened from one that failed
// part-way.
bool read_whole_file(const std::string& path, std::string& content, bool& opened) {
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

// Builds the whole file in one buffer of the exact size.
template <class Entries>
std::string serialize_entries(const Entries& entries) {
    std::size_t total = 8;
    for (const auto& entry : entries) total += kFixedEntryBytes + entry.key.size();
    std::string out(total, '\0');
    char* at = put_u64(out.data(), entries.size());
    for (const auto& entry : entries) {
        at = put_u64(at, entry.key.size());
        at = put_text(at, entry.key);
        at = put_u64(at, static_cast<std::uint64_t>(entry.size));
        at = put_u64(at, entry.last_write_time);
        at = put_text(at, entry.hash);
    }
    return out;
}

template <class Entries>
bool parse_entries(std::string_view data, Entries& entries) {
    Reader reader(data);
    std::uint64_t count = 0;
    // An empty file is an empty cache.
    if (!data.empty() && !reader.u64(count)) return false;
    if (count > reader.remaining() / kFixedEntryBytes) return false;

    Entries parsed;
    if constexpr (std::is_same_v<Entries, std::vector<CacheEntry>>) {
        parsed.reserve(static_cast<std::size_t>(count));
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key_length = 0;
        std::string_view key;
        std::uint64_t size = 0;
        std::uint64_t last_write_time = 0;
        std::string_view hash;
        if (!reader.u64(key_length) || !reader.bytes(key_length, key) || !reader.u64(size) ||
            !reader.u64(last_write_time) || !reader.bytes(kHashLength, hash) ||
            !is_hash_text(hash)) {
            return false;
        }
        parsed.push_back(CacheEntry{std::string(key), static_cast<std::int64_t>(size),
                                    last_write_time, std::string(hash)});
    }
    entries = std::move(parsed);
    return true;
}

}  // namespace

std::string serialize_hash_cache(const std::vector<CacheEntry>& entries) {
    return serialize_entries(entries);
}

bool parse_hash_cache(std::string_view data, std::vector<CacheEntry>& entries) {
    return parse_entries(data, entries);
}

HashCache::HashCache(std::string file_path) : file_path(std::move(file_path)) {}

bool HashCache::load() {
    // A missing file, or a folder (which some systems open as a stream of meaningless size),
    // leaves the entries as they are.
    platform::FileStamp before;
    if (!platform::query_file_stamp(file_path, before)) return false;
    std::string data;
    bool opened = false;
    const bool read = read_whole_file(file_path, data, opened);
    if (!opened) return false;

    std::deque<CacheEntry> parsed;
    const bool intact = read && parse_entries(data, parsed);
    // The file holds exactly the loaded entries only if nothing replaced it while it was read.
    platform::FileStamp after;
    const bool unchanged =
        intact && platform::query_file_stamp(file_path, after) && after == before;

    std::lock_guard<std::mutex> lock(mutex);
    entries = std::move(parsed);
    rebuild_index();
    ++revision;
    if (unchanged) {
        on_disk = FileRecord{before, revision};
    } else {
        on_disk.reset();
    }
    return intact;
}

void HashCache::rebuild_index() {
    index.clear();
    repeated_keys.clear();
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto [first, inserted] = index.emplace(std::string_view(entries[i].key), i);
        if (!inserted) repeated_keys[first->first].push_back(i);
    }
}

bool HashCache::save() {
    std::optional<FileRecord> record;
    std::uint64_t current = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record = on_disk;
        current = revision;
    }
    // Rewriting an unchanged file costs more than the rest of a scan of an unchanged tree.
    platform::FileStamp now;
    if (record && record->revision == current && platform::query_file_stamp(file_path, now) &&
        now == record->stamp) {
        return true;
    }

    std::string data;
    {
        std::lock_guard<std::mutex> lock(mutex);
        data = serialize_entries(entries);
        current = revision;
    }
    platform::AtomicFileWriter writer{std::filesystem::path(file_path)};
    if (!writer.ok()) return false;
    writer.stream().write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!writer.commit()) return false;

    platform::FileStamp written;
    const bool stamped = platform::query_file_stamp(file_path, written);
    std::lock_guard<std::mutex> lock(mutex);
    if (stamped && revision == current) {
        on_disk = FileRecord{written, current};
    } else {
        on_disk.reset();
    }
    return true;
}

bool HashCache::lookup(const std::filesystem::path& path, std::string& hash_out) {
    platform::FileStamp stamp;
    // The disk is asked outside the lock, so workers never wait on each other's file queries.
    if (!platform::query_file_stamp(path, stamp)) return false;
    return lookup(path, stamp, hash_out);
}

bool HashCache::lookup(const std::filesystem::path& path, const platform::FileStamp& stamp,
                       std::string& hash_out) {
    const std::string key = platform::narrow_path_key(path);
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = index.find(key);
    if (found == index.end()) return false;
    const auto matches = [&](std::size_t position) {
        const CacheEntry& entry = entries[position];
        return entry.size == stamp.size && entry.last_write_time == stamp.last_write_time;
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
    platform::FileStamp stamp;
    if (!platform::query_file_stamp(path, stamp)) return;
    store(path, stamp, hash);
}

void HashCache::store(const std::filesystem::path& path, const platform::FileStamp& stamp,
                      const std::string& hash) {
    // Only a digest text keeps the file layout (a fixed 64-byte hash field) valid.
    if (!is_hash_text(hash)) return;
    std::string key = platform::narrow_path_key(path);

    std::lock_guard<std::mutex> lock(mutex);
    const auto found = index.find(key);
    if (found != index.end()) {
        CacheEntry& entry = entries[found->second];
        if (entry.size != stamp.size || entry.last_write_time != stamp.last_write_time ||
            entry.hash != hash) {
            entry.size = stamp.size;
            entry.last_write_time = stamp.last_write_time;
            entry.hash = hash;
            ++revision;
        }
        return;
    }
    entries.push_back(CacheEntry{std::move(key), stamp.size, stamp.last_write_time, hash});
    index.emplace(std::string_view(entries.back().key), entries.size() - 1);
    ++revision;
}

std::size_t HashCache::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}

std::vector<CacheEntry> HashCache::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return {entries.begin(), entries.end()};
}
