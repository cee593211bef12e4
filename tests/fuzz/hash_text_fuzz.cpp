// The hash-list decoder on arbitrary text: whole 32-byte records only, at most one per line, each
// counted, and every record the decoding of 64 hexadecimal characters that stand in the input.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hashdb/hash_list.h"

namespace {

std::string lower_hex(const unsigned char* record) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 32; ++i) {
        hex += kDigits[record[i] >> 4];
        hex += kDigits[record[i] & 0x0F];
    }
    return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned char> records;
    const HashListCounts counts = decode_hash_lines(text, records);
    if (records.size() % 32 != 0) std::abort();
    if (records.size() / 32 != counts.sha256) std::abort();
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    if (counts.sha256 + counts.other_kinds > lines) std::abort();
    // 64 characters give one record, so the records need at least 64 bytes of input each.
    if (records.size() / 32 * 64 > size) std::abort();
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t at = 0; at < records.size(); at += 32) {
        if (lowered.find(lower_hex(records.data() + at)) == std::string::npos) std::abort();
    }
    return 0;
}
