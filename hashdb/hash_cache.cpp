#include "hashdb/hash_cache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/memory.h"

namespace {

constexpr std::size_t kHashLength = 64;
constexpr std::size_t kCountBytes = 8;
// Every entry holds at least its length, size and time fields and the hash.
constexpr std::size_t kFixedEntryBytes = 8 + 8 + 8 + kHashLength;
// Where the size, time and hash fields lie, counted from the end of the key.
constexpr std::size_t kSizeField = 0;
constexpr std::size_t kTimeField = 8;
constexpr std::size_t kHashField = 16;
constexpr std::size_t kFieldsAfterKey = kHashField + kHashLength;

std::uint64_t get_u64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

char* put_u64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) *out++ = static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

char* put_text(char* out, std::string_view text) {
    return std::copy(text.begin(), text.end(), out);
}

// Eight characters per step: a load checks every hash character of every entry. For a byte x
// below 0x80, x + (0x80 - low) has its top bit set exactly when x >= low, and x + (0x7F - high)
// exactly when x > high; no byte carries into the next.
bool is_hash_text(std::string_view hash) {
    if (hash.size() != kHashLength) return false;
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kTops = 0x80 * kOnes;
    std::uint64_t ascii = 0;
    std::uint64_t hex = kTops;
    for (std::size_t at = 0; at < kHashLength; at += 8) {
        std::uint64_t x = 0;
        std::memcpy(&x, hash.data() + at, 8);
        ascii |= x;
        x &= ~kTops;  // keeps the sums below within their bytes; such bytes fail on `ascii`
        const std::uint64_t digit = (x + (0x80 - '0') * kOnes) & ~(x + (0x7F - '9') * kOnes);
        const std::uint64_t letter = (x + (0x80 - 'a') * kOnes) & ~(x + (0x7F - 'f') * kOnes);
        hex &= digit | letter;
    }
    return (ascii & kTops) == 0 && (hex & kTops) == kTops;
}

// One entry of a file's text whose layout has been checked, read where its record starts.
struct RecordView {
    std::string_view key;
    const char* fields;  // size, time and hash, right after the key

    std::int64_t size() const { return static_cast<std::int64_t>(get_u64(fields + kSizeField)); }
    std::uint64_t last_write_time() const { return get_u64(fields + kTimeField); }
    std::string_view hash() const { return {fields + kHashField, kHashLength}; }
    std::size_t length() const { return 8 + key.size() + kFieldsAfterKey; }
};

RecordView view_record(const char* record) {
    const auto key_length = static_cast<std::size_t>(get_u64(record));
    return {std::string_view(record + 8, key_length), record + 8 + key_length};
}

// The number of entries a file's text claims, if it can hold that many at all.
bool claimed_count(std::string_view data, std::uint64_t& count) {
    count = 0;
    if (data.empty()) return true;
    if (data.size() < kCountBytes) return false;
    count = get_u64(data.data());
    return count <= (data.size() - kCountBytes) / kFixedEntryBytes;
}

// Checks the layout of a whole file's text and hands on each entry with its offset in the text.
// `end` is where the last entry ends: bytes after it are ignored. An empty text is an empty list.
template <class OnRecord>
bool walk_records(std::string_view data, std::size_t& end, OnRecord&& on_record) {
    end = 0;
    std::uint64_t count = 0;
    if (!claimed_count(data, count)) return false;
    if (data.empty()) return true;
    std::size_t at = kCountBytes;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t remaining = data.size() - at;
        if (remaining < kFixedEntryBytes) return false;
        const std::uint64_t key_length = get_u64(data.data() + at);
        if (key_length > remaining - kFixedEntryBytes) return false;
        const RecordView record = view_record(data.data() + at);
        if (!is_hash_text(record.hash())) return false;
        on_record(at, record);
        at += record.length();
    }
    end = at;
    return true;
}

// The file in one read. `opened` tells a file that could not be opened from one that failed
// part-way.
template <class Bytes>
bool read_whole_file(const std::string& path, Bytes& content, bool& opened) {
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

template <class Bytes>
void append_record(Bytes& out, std::string_view key, std::int64_t size,
                   std::uint64_t last_write_time, std::string_view hash) {
    const std::size_t at = out.size();
    out.resize(at + 8 + key.size() + kFieldsAfterKey);
    char* write = put_u64(out.data() + at, key.size());
    write = put_text(write, key);
    write = put_u64(write, static_cast<std::uint64_t>(size));
    write = put_u64(write, last_write_time);
    put_text(write, hash);
}

std::size_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }

// Room for `entries` with at least half of the slots free, so probe sequences stay short.
std::size_t capacity_for(std::size_t entries) {
    std::size_t capacity = 16;
    while (capacity / 2 < entries) capacity *= 2;
    return capacity;
}

}  // namespace

std::string serialize_hash_cache(const std::vector<CacheEntry>& entries) {
    std::size_t total = kCountBytes;
    for (const auto& entry : entries) total += kFixedEntryBytes + entry.key.size();
    std::string out;
    out.reserve(total);
    out.resize(kCountBytes);
    put_u64(out.data(), entries.size());
    for (const auto& entry : entries) {
        append_record(out, entry.key, entry.size, entry.last_write_time, entry.hash);
    }
    return out;
}

bool parse_hash_cache(std::string_view data, std::vector<CacheEntry>& entries) {
    std::vector<CacheEntry> parsed;
    std::size_t end = 0;
    const bool intact = walk_records(data, end, [&](std::size_t, const RecordView& record) {
        parsed.push_back(CacheEntry{std::string(record.key), record.size(),
                                    record.last_write_time(), std::string(record.hash())});
    });
    if (!intact) return false;
    entries = std::move(parsed);
    return true;
}

HashCache::HashCache(std::string file_path)
    : records(kCountBytes, '\0'), slots(capacity_for(0)), file_path(std::move(file_path)) {}

LoadResult HashCache::load() {
    // A missing file, or a folder (which some systems open as a stream of meaningless size),
    // leaves the entries as they are.
    std::error_code status_error;
    const auto status = std::filesystem::status(file_path, status_error);
    if (status.type() == std::filesystem::file_type::not_found) return LoadResult::not_found();
    if (status_error) return LoadResult::failed(file_path + ": " + status_error.message());
    if (!std::filesystem::is_regular_file(status)) {
        return LoadResult::failed(file_path + ": not a regular file");
    }
    platform::FileStamp before;
    if (!platform::query_file_stamp(file_path, before)) {
        return LoadResult::failed(file_path + ": cannot be read");
    }
    Bytes data;
    bool opened = false;
    const bool read = read_whole_file(file_path, data, opened);
    if (!opened) return LoadResult::failed(file_path + ": cannot be opened");

    // The index is built in the same pass that checks the file; it is only kept if the whole file
    // passes.
    std::uint64_t claimed = 0;
    SlotTable index;
    RepeatMap repeated;
    if (read && claimed_count(data, claimed)) {
        index.assign(capacity_for(static_cast<std::size_t>(claimed)), Slot{});
    }
    // Each insertion lands on a random slot of a table far larger than the processor's caches;
    // the slot is fetched ahead, while the next records are read, and filled a few records later.
    constexpr std::size_t kAhead = 16;
    std::array<Slot, kAhead> pending{};
    std::size_t read_records = 0;
    std::size_t end = 0;
    const bool intact =
        !index.empty() && walk_records(data, end, [&](std::size_t at, const RecordView& record) {
            Slot& waiting = pending[read_records % kAhead];
            if (read_records >= kAhead) {
                insert_slot(index, repeated, data.data(), waiting.key_hash, waiting.record);
            }
            waiting = Slot{hash_key(record.key), at};
            __builtin_prefetch(&index[waiting.key_hash & (index.size() - 1)]);
            ++read_records;
        });
    if (intact) {
        for (std::size_t i = read_records > kAhead ? read_records - kAhead : 0; i < read_records;
             ++i) {
            insert_slot(index, repeated, data.data(), pending[i % kAhead].key_hash,
                        pending[i % kAhead].record);
        }
    }
    // The file holds exactly the loaded entries only if nothing replaced it while it was read.
    platform::FileStamp after;
    const bool unchanged =
        intact && platform::query_file_stamp(file_path, after) && after == before;
    if (!intact || end == 0) {
        data.assign(kCountBytes, '\0');
        index.assign(capacity_for(0), Slot{});
        repeated.clear();
        claimed = 0;
    } else {
        data.resize(end);
    }

    std::lock_guard<std::mutex> lock(mutex);
    records = std::move(data);
    count = static_cast<std::size_t>(claimed);
    slots = std::move(index);
    repeats = std::move(repeated);
    ++revision;
    if (unchanged) {
        on_disk = FileRecord{before, revision};
    } else {
        on_disk.reset();
    }
    if (intact) return LoadResult::loaded();
    return LoadResult::failed(file_path + (read ? ": damaged (cut short, or not a hash cache)"
                                                : ": cannot be read to the end"));
}

void HashCache::insert_slot(SlotTable& table, RepeatMap& repeats, const char* bytes,
                            std::size_t key_hash, std::size_t record) {
    const std::size_t mask = table.size() - 1;
    std::size_t at = key_hash & mask;
    for (; table[at].record != 0; at = (at + 1) & mask) {
        if (table[at].key_hash != key_hash) continue;
        const std::string_view key = view_record(bytes + record).key;
        if (view_record(bytes + table[at].record).key == key) {
            // One slot per key keeps every probe short, however often a key repeats.
            repeats[std::string(key)].push_back(record);
            return;
        }
    }
    table[at] = Slot{key_hash, record};
}

void HashCache::rebuild_index(std::size_t capacity) {
    // Inserting in list order keeps the first record of each key in the index.
    slots.assign(capacity, Slot{});
    repeats.clear();
    std::size_t at = kCountBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const RecordView record = view_record(records.data() + at);
        insert_slot(slots, repeats, records.data(), hash_key(record.key), at);
        at += record.length();
    }
}

bool HashCache::find(std::string_view key, std::size_t key_hash, const platform::FileStamp* stamp,
                     std::size_t& record) const {
    const auto matches = [&](std::size_t candidate) {
        const RecordView view = view_record(records.data() + candidate);
        return stamp == nullptr ||
               (view.size() == stamp->size && view.last_write_time() == stamp->last_write_time);
    };
    const std::size_t mask = slots.size() - 1;
    for (std::size_t at = key_hash & mask; slots[at].record != 0; at = (at + 1) & mask) {
        if (slots[at].key_hash != key_hash ||
            view_record(records.data() + slots[at].record).key != key) {
            continue;
        }
        if (matches(slots[at].record)) {
            record = slots[at].record;
            return true;
        }
        if (repeats.empty()) return false;
        const auto repeated = repeats.find(std::string(key));
        if (repeated == repeats.end()) return false;
        for (const std::size_t candidate : repeated->second) {
            if (matches(candidate)) {
                record = candidate;
                return true;
            }
        }
        return false;
    }
    return false;
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

    Bytes data;
    {
        std::lock_guard<std::mutex> lock(mutex);
        data = records;
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
    return lookup_key(platform::narrow_path_key(path), stamp, hash_out);
}

bool HashCache::lookup_key(std::string_view key, const platform::FileStamp& stamp,
                           std::string& hash_out) {
    const std::size_t key_hash = hash_key(key);
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t record = 0;
    if (!find(key, key_hash, &stamp, record)) return false;
    hash_out = view_record(records.data() + record).hash();
    return true;
}

void HashCache::store(const std::filesystem::path& path, const std::string& hash) {
    platform::FileStamp stamp;
    if (!platform::query_file_stamp(path, stamp)) return;
    store(path, stamp, hash);
}

void HashCache::store(const std::filesystem::path& path, const platform::FileStamp& stamp,
                      const std::string& hash) {
    store_key(platform::narrow_path_key(path), stamp, hash);
}

void HashCache::store_key(std::string_view key, const platform::FileStamp& stamp,
                          std::string_view hash) {
    // Only a digest text keeps the file layout (a fixed 64-byte hash field) valid.
    if (!is_hash_text(hash)) return;
    const std::size_t key_hash = hash_key(key);

    std::lock_guard<std::mutex> lock(mutex);
    std::size_t record = 0;
    if (find(key, key_hash, nullptr, record)) {
        const RecordView view = view_record(records.data() + record);
        if (view.size() != stamp.size || view.last_write_time() != stamp.last_write_time ||
            view.hash() != hash) {
            char* fields = records.data() + record + 8 + key.size();
            put_u64(fields + kSizeField, static_cast<std::uint64_t>(stamp.size));
            put_u64(fields + kTimeField, stamp.last_write_time);
            put_text(fields + kHashField, hash);
            ++revision;
        }
        return;
    }
    if ((count + 1) > slots.size() / 2) rebuild_index(slots.size() * 2);
    record = records.size();
    append_record(records, key, stamp.size, stamp.last_write_time, hash);
    ++count;
    put_u64(records.data(), count);
    insert_slot(slots, repeats, records.data(), key_hash, record);
    ++revision;
}

std::size_t HashCache::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
}

std::vector<CacheEntry> HashCache::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<CacheEntry> entries;
    entries.reserve(count);
    std::size_t at = kCountBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const RecordView record = view_record(records.data() + at);
        entries.push_back(CacheEntry{std::string(record.key), record.size(),
                                     record.last_write_time(), std::string(record.hash())});
        at += record.length();
    }
    return entries;
}
