#include "hashdb/hash_checker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "console/logger.h"
#include "platform/atomic_file.h"
#include "platform/file_content.h"
#include "platform/http.h"

namespace {

constexpr std::size_t kRecordSize = 32;
constexpr std::size_t kHexLength = 64;

using Record = std::array<unsigned char, kRecordSize>;

constexpr std::size_t kPrefixCount = 1 << 16;

std::size_t prefix_of(const unsigned char* record) {
    return (static_cast<std::size_t>(record[0]) << 8) | record[1];
}

constexpr std::size_t kPresenceBits = std::size_t{1} << 24;

// The first three bytes of a digest: the bit that stands for it in HashChecker::presence.
std::size_t presence_bit(const unsigned char* record) {
    return (static_cast<std::size_t>(record[0]) << 16) |
           (static_cast<std::size_t>(record[1]) << 8) | record[2];
}

// See HashChecker::prefix_starts and HashChecker::presence: counts the records of each prefix,
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

// The value of each hex digit, 0 for any other character: a lookup, because the digits of a hash
// are random and a test per range mispredicts on most of them.
constexpr std::array<unsigned char, 256> kNibble = [] {
    std::array<unsigned char, 256> table{};
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    return table;
}();

unsigned char nibble(char c) { return kNibble[static_cast<unsigned char>(c)]; }

// The white space of the "C" locale's isspace, without the locale lookup per character.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Absence and an unanswerable status query both mean "not there": a folder we may not look into
// must not end the program at start-up.
bool entry_exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) && !error;
}

bool read_whole_file(const std::string& path, std::string& content) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

void decode_hex_digest(std::string_view hex, unsigned char* out) {
    for (std::size_t i = 0; i < kRecordSize; ++i) {
        out[i] = static_cast<unsigned char>((nibble(hex[2 * i]) << 4) | nibble(hex[2 * i + 1]));
    }
}

void decode_hash_lines(std::string_view text, std::vector<unsigned char>& records) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
        while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
        if (line.size() != kHexLength) continue;
        const std::size_t at = records.size();
        records.resize(at + kRecordSize);
        decode_hex_digest(line, records.data() + at);
    }
}

HashChecker::HashChecker(Logger& logger, UpdateSettings settings)
    : logger(logger), update_settings(std::move(settings)) {
    platform::http_global_init();
}

HashChecker::~HashChecker() { platform::http_global_cleanup(); }

bool HashChecker::load(const std::string& txt_path, const std::string& bin_path) {
    if (entry_exists(bin_path)) {
        logger.log("Loading bin DB: " + bin_path);
        if (load_binary(bin_path)) return true;
    }
    if (!entry_exists(txt_path)) return false;
    logger.log("Converting txt to bin DB");
    if (!convert_text_to_binary(txt_path, bin_path)) return false;
    return load_binary(bin_path);
}

bool HashChecker::load_binary(const std::string& bin_path) {
    std::lock_guard<std::mutex> lock(mutex);
    // Read beside the live database so a failed load leaves the previous one in place.
    platform::FileContent fresh;
    if (!fresh.load(bin_path) || fresh.size() % kRecordSize != 0) return false;
    // Built beside the live tables too, so a failure part-way leaves all of them as they were.
    decltype(presence) bits;
    std::vector<std::size_t> starts = index_prefixes(fresh, bits);
    prefix_starts = std::move(starts);
    presence = std::move(bits);
    digests = std::move(fresh);
    loaded = true;
    return true;
}

bool HashChecker::convert_text_to_binary(const std::string& txt_path, const std::string& bin_path) {
    std::string text;
    if (!read_whole_file(txt_path, text)) return false;
    std::vector<unsigned char> bytes;
    decode_hash_lines(text, bytes);
    text = std::string();
    if (bytes.empty()) return false;

    std::vector<Record> records(bytes.size() / kRecordSize);
    std::memcpy(records.data(), bytes.data(), bytes.size());
    bytes = std::vector<unsigned char>();
    // std::array's < is a lexicographic compare of unsigned chars: the order of memcmp.
    std::sort(records.begin(), records.end());

    platform::AtomicFileWriter writer{std::filesystem::path(bin_path)};
    if (!writer.ok()) return false;
    writer.stream().write(reinterpret_cast<const char*>(records.data()),
                          static_cast<std::streamsize>(records.size() * kRecordSize));
    return writer.commit();
}

bool HashChecker::contains(std::string_view hex_hash) const {
    if (!loaded || hex_hash.size() != kHexLength) return false;
    unsigned char key[kRecordSize];
    decode_hex_digest(hex_hash, key);
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
