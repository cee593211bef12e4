// The text form of a hash list, as "hashes.txt", "hashes.local.txt" and the downloaded lists hold
// it. Each line that does not begin with '#' gives at most one SHA-256: its first field of exactly
// 64 hexadecimal characters (either case), fields being split at blanks, ';', ':', ',' and '"'.
// That takes bare hash lines, `sha256sum` output ("HASH  name"), IOC lists ("HASH;comment"), hash
// signatures ("HASH:SIZE:NAME") and CSV exports (quoted fields, the hash in any column, the header
// a '#' line). A line whose hashes are all of other kinds (32 or 40 hexadecimal characters: MD5,
// SHA-1) is counted as such and otherwise ignored, as is every other line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct HashListCounts {
    std::size_t sha256 = 0;       // lines that gave a SHA-256 record
    std::size_t other_kinds = 0;  // lines with only MD5 or SHA-1 entries, ignored

    HashListCounts& operator+=(const HashListCounts& other) {
        sha256 += other.sha256;
        other_kinds += other.other_kinds;
        return *this;
    }
};

// The counts in the words of the log: "SHA-256 hashes taken: N, other entries ignored: M".
std::string describe(const HashListCounts& counts);

// Why a list that gave no SHA-256 is of no use: "no SHA-256 hash line", and how many MD5 or SHA-1
// entries it held instead, if any.
std::string no_hash_reason(const HashListCounts& counts);

// Reads a whole hash-list file. False, with the reason (naming the path) in `error`, when it is
// missing, not a regular file, unreadable or larger than `max_bytes`.
bool read_list_file(const std::string& path, std::string& content, std::string& error,
                    std::uint64_t max_bytes = UINT64_MAX);

// Decodes 64 hexadecimal characters (either case) into 32 bytes, high nibble first. False when a
// character is not a hexadecimal digit; `out` then holds no meaningful value. The caller checks
// the length.
bool decode_hex_digest(std::string_view hex, unsigned char* out);

// Appends, in text order, the 32-byte record of every line that gives a SHA-256 (see above) and
// returns what the text held.
HashListCounts decode_hash_lines(std::string_view text, std::vector<unsigned char>& records);

// Puts 32-byte records in ascending unsigned byte-wise order (that of memcmp), duplicates kept.
void sort_records(std::vector<unsigned char>& records);
