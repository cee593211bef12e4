#include "hashdb/hash_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

constexpr std::size_t kRecordSize = 32;
constexpr std::size_t kSha256Digits = 64;
constexpr std::size_t kMd5Digits = 32;
constexpr std::size_t kSha1Digits = 40;

using Record = std::array<unsigned char, kRecordSize>;

// The value of each hex digit, with kNotHex for any other character: a lookup, because the digits
// of a hash are random and a test per range mispredicts on most of them.
constexpr unsigned char kNotHex = 0x10;
constexpr std::array<unsigned char, 256> kNibble = [] {
    std::array<unsigned char, 256> table{};
    table.fill(kNotHex);
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    return table;
}();

unsigned char nibble(char c) { return kNibble[static_cast<unsigned char>(c)]; }

// The white space of the "C" locale's isspace, and the characters that part fields.
constexpr std::array<bool, 256> kSeparator = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r', ';', ':', ',', '"'}) table[c] = true;
    return table;
}();

bool is_separator(char c) { return kSeparator[static_cast<unsigned char>(c)]; }

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool all_hex(std::string_view field) {
    return std::none_of(field.begin(), field.end(), [](char c) { return nibble(c) == kNotHex; });
}

}  // namespace

std::string describe(const HashListCounts& counts) {
    return "SHA-256 hashes taken: " + std::to_string(counts.sha256) +
           ", other entries ignored: " + std::to_string(counts.other_kinds);
}

std::string no_hash_reason(const HashListCounts& counts) {
    std::string reason = "no SHA-256 hash line";
    if (counts.other_kinds != 0) {
        reason += " (" + std::to_string(counts.other_kinds) + " MD5 or SHA-1 entries ignored)";
    }
    return reason;
}

bool read_list_file(const std::string& path, std::string& content, std::string& error,
                    std::uint64_t max_bytes) {
    std::error_code status_error;
    const auto status = std::filesystem::status(path, status_error);
    if (status.type() == std::filesystem::file_type::not_found) {
        error = path + ": not found";
        return false;
    }
    if (status_error) {
        error = path + ": " + status_error.message();
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        error = path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened";
        return false;
    }
    // Read in pieces, so a file that grows while it is read still stops at the cap.
    std::string text;
    char piece[64 * 1024];
    while (in.read(piece, sizeof(piece)) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        if (text.size() + got > max_bytes) {
            error = path + ": over the size cap of " + std::to_string(max_bytes) + " bytes";
            return false;
        }
        text.append(piece, got);
    }
    if (in.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    content = std::move(text);
    return true;
}

bool decode_hex_digest(std::string_view hex, unsigned char* out) {
    unsigned char seen = 0;
    for (std::size_t i = 0; i < kRecordSize; ++i) {
        const unsigned char high = nibble(hex[2 * i]);
        const unsigned char low = nibble(hex[2 * i + 1]);
        seen |= high | low;
        out[i] = static_cast<unsigned char>(((high & 0x0F) << 4) | (low & 0x0F));
    }
    return (seen & kNotHex) == 0;
}

HashListCounts decode_hash_lines(std::string_view text, std::vector<unsigned char>& records) {
    HashListCounts counts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;

        std::size_t at = 0;
        while (at < line.size() && is_space(line[at])) ++at;
        if (at == line.size() || line[at] == '#') continue;
        bool taken = false;
        bool other_kind = false;
        while (!taken && at < line.size()) {
            while (at < line.size() && is_separator(line[at])) ++at;
            std::size_t field_end = at;
            while (field_end < line.size() && !is_separator(line[field_end])) ++field_end;
            const std::string_view field = line.substr(at, field_end - at);
            at = field_end;
            if (field.size() == kSha256Digits) {
                Record record;
                if (decode_hex_digest(field, record.data())) {
                    records.insert(records.end(), record.begin(), record.end());
                    taken = true;
                }
            } else if ((field.size() == kMd5Digits || field.size() == kSha1Digits) &&
                       all_hex(field)) {
                other_kind = true;
            }
        }
        if (taken) {
            ++counts.sha256;
        } else if (other_kind) {
            ++counts.other_kinds;
        }
    }
    return counts;
}

void sort_records(std::vector<unsigned char>& records) {
    if (records.empty()) return;
    std::vector<Record> sorted(records.size() / kRecordSize);
    std::memcpy(sorted.data(), records.data(), sorted.size() * kRecordSize);
    // std::array's < is a lexicographic compare of unsigned chars: the order of memcmp.
    std::sort(sorted.begin(), sorted.end());
    std::memcpy(records.data(), sorted.data(), sorted.size() * kRecordSize);
}
