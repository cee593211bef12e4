// The "hashes.txt" decoder on arbitrary text: whole 32-byte records only, never more records than
// lines, and every record must be the decoding of some line of the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "hashdb/hash_checker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned char> records;
    decode_hash_lines(text, records);
    if (records.size() % 32 != 0) std::abort();
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    if (records.size() / 32 > lines) std::abort();
    // 64 characters give one record, so the records need at least 64 bytes of input each.
    if (records.size() / 32 * 64 > size) std::abort();
    return 0;
}
