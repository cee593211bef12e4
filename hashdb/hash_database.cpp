#include "hashdb/hash_database.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "hashdb/hash_list.h"
#include "platform/atomic_file.h"

namespace {

constexpr std::size_t kRecordSize = 32;
constexpr std::size_t kHexLength = 64;

constexpr std::size_t kPrefixCount = 1 << 16;

std::size_t prefix_of(const unsigned char* record) {
    return (static_cast<std::size_t>(record[0]) << 8) | record[1];
}

constexpr std::size_t kPresenceBits = std::size_t{1} << 24;

// The first three bytes of a digest: the bit that stands for it in HashDatabase::presence.
std::size_t presence_bit(const unsigned char* record) {
    return (static_cast<std::size_t>(record[0]) << 16) |
           (static_cast<std::size_t>(record[1]) << 8) | record[2];
}

// See HashDatabase::prefix_starts and HashDatabase::presence: counts the records of each prefix,
// marks each record's bit, then sums the counts up.
template <class Bits>
std::vector<std::size_t> index_prefixes(const platform::FileContent& digests, Bits& presence) {
    std::vector<std::size_t> starts(kPrefixCount + 1, 0);
    presence.assign(kPresenceBits / 64, 0);
    for (std::size_t at = 0; at < digests.size(); at += kRecordSize) {
        ++starts[prefix_of(digests.data() + at) + 1];
        const std::size_t bit = presence_bit(digests.data() + at);
        presence[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
    for (std::size_t p = 1; p <= kPrefixCount; ++p) starts[p] += starts[p - 1];
    return starts;
}

// Why a file that FileContent could not load is unusable.
std::string unreadable(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return path + ": not found";
    if (error) return path + ": " + error.message();
    if (!std::filesystem::is_regular_file(status)) return path + ": not a regular file";
    return path + ": cannot be read";
}

}  // namespace

LoadResult HashDatabase::read(const std::string& bin_path, HashDatabase& out) {
    HashDatabase fresh;
    if (!fresh.digests.load(bin_path)) return LoadResult::failed(unreadable(bin_path));
    if (fresh.digests.size() % kRecordSize != 0) {
        return LoadResult::failed(bin_path + ": damaged (" + std::to_string(fresh.digests.size()) +
                                  " bytes, not a whole number of 32-byte records)");
    }
    fresh.prefix_starts = index_prefixes(fresh.digests, fresh.presence);
    out = std::move(fresh);
    return LoadResult::loaded();
}

HashDatabase HashDatabase::from_records(std::string_view sorted_records) {
    HashDatabase database;
    database.digests.copy(reinterpret_cast<const unsigned char*>(sorted_records.data()),
                          sorted_records.size() - sorted_records.size() % kRecordSize);
    database.prefix_starts = index_prefixes(database.digests, database.presence);
    return database;
}

bool HashDatabase::contains(std::string_view hex_hash) const {
    if (hex_hash.size() != kHexLength || presence.empty()) return false;
    unsigned char key[kRecordSize];
    if (!decode_hex_digest(hex_hash, key)) return false;
    const std::size_t bit = presence_bit(key);
    if ((presence[bit / 64] & (std::uint64_t{1} << (bit % 64))) == 0) return false;
    // Lower bound over the records that share the key's prefix.
    const std::size_t prefix = prefix_of(key);
    const std::size_t end = prefix_starts[prefix + 1];
    std::size_t low = prefix_starts[prefix];
    std::size_t high = end;
    const unsigned char* base = digests.data();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (std::memcmp(base + middle * kRecordSize, key, kRecordSize) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < end && std::memcmp(base + low * kRecordSize, key, kRecordSize) == 0;
}

std::size_t HashDatabase::record_count() const { return digests.size() / kRecordSize; }

std::string_view HashDatabase::bytes() const {
    return {reinterpret_cast<const char*>(digests.data()), digests.size()};
}

bool write_database_file(std::string_view sorted_records, const std::string& bin_path,
                         std::string& error) {
    errno = 0;
    platform::AtomicFileWriter writer{std::filesystem::path(bin_path)};
    if (writer.ok()) {
        writer.stream().write(sorted_records.data(),
                              static_cast<std::streamsize>(sorted_records.size()));
        if (writer.commit()) return true;
    }
    error = bin_path + ": cannot be written";
    // The stream library keeps no reason of its own; the system's last one is the best there is.
    if (errno != 0) error += " (" + std::error_code(errno, std::generic_category()).message() + ")";
    return false;
}
