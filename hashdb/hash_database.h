// One set of known-bad SHA-256 digests in the layout of "hashes.bin": sorted 32-byte records, plus
// two small tables that make a lookup cheap. Immutable once read, so the scan's workers look up
// without a lock; a newer database replaces it whole (HashChecker::replace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hashdb/load_result.h"
#include "platform/file_content.h"
#include "platform/memory.h"

class HashDatabase {
  public:
    HashDatabase() = default;  // empty: every lookup misses
    HashDatabase(HashDatabase&&) = default;
    HashDatabase& operator=(HashDatabase&&) = default;
    HashDatabase(const HashDatabase&) = delete;
    HashDatabase& operator=(const HashDatabase&) = delete;

    // Reads a binary database file into `out`. On failure `out` is left as it was and the result
    // says why (the file is missing, unreadable, or not a whole number of records).
    static LoadResult read(const std::string& bin_path, HashDatabase& out);

    // A database of these sorted 32-byte records, held in memory (for a data folder where the
    // binary file cannot be written).
    static HashDatabase from_records(std::string_view sorted_records);

    // True when the 64-character hex text (either case) names a digest in the database.
    bool contains(std::string_view hex_hash) const;

    std::size_t record_count() const;
    // The sorted records as the file holds them.
    std::string_view bytes() const;

  private:
    platform::FileContent digests;
    // Entry p is the position of the first record whose first two bytes, read as a big-endian
    // number, are p or more; the last entry is the record count. A lookup bisects only the few
    // records of its own prefix: bisecting the whole array costs a cache miss at nearly every step.
    std::vector<std::size_t> prefix_starts;
    // One bit per value of a digest's first three bytes, set when some record starts with them.
    // Nearly every file scanned is not in the database; for most of them this one bit, in a table
    // small enough to stay cached, says so without a look at the records.
    std::vector<std::uint64_t, platform::LargePageAllocator<std::uint64_t>> presence;
};

// Writes sorted records as a binary database file; the old file is replaced only by a complete
// one. False, with the reason in `error`, when the file cannot be written.
bool write_database_file(std::string_view sorted_records, const std::string& bin_path,
                         std::string& error);
