// Remembers what the rules found in each file a scan matched against them, with the file's size
// and last-write time then, for one rule set: an unchanged file is not read again while the set
// stays the same. Kept between runs in "rule_cache.bin", beside the hash cache and keyed like it;
// a file written for another set is not used, so a new or changed set has every file matched once
// more. Safe to use from many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_content.h"
#include "platform/file_info.h"

inline constexpr const char kRuleCacheNotSaved[] = "[WARN] Rule cache could not be saved";

struct RuleCacheEntry {
    std::string key;  // the path in narrow form (platform::narrow_path_key)
    platform::FileStamp stamp;
    std::vector<std::string> rules;  // the rules that matched; empty: none did
};

class RuleCache {
  public:
    // The memory of matches under the rule set whose identity is `rule_set` (RuleSet::identity).
    RuleCache(std::filesystem::path file, std::string rule_set);

    // Replaces the entries with the file's, when the file was written for the same rule set; a
    // file of another set leaves none. False when the file cannot be read (the entries stay) or
    // is damaged (none are left: a half-read list is not trusted).
    bool load();
    // Writes the entries; the old file is replaced only by a complete one. Nothing is written
    // when nothing changed since the load or the last save.
    bool save();

    // True and the rules that matched when the file's stamp is the one it had when matched.
    bool lookup_key(std::string_view key, const platform::FileStamp& stamp,
                    std::vector<std::string>& rules_out) const;
    // Records the outcome of a match with the stamp the file had when its bytes were read.
    void store_key(std::string_view key, const platform::FileStamp& stamp,
                   const std::vector<std::string>& rules);

    std::size_t size() const;
    std::vector<RuleCacheEntry> snapshot() const;

  private:
    // An entry stored since the load.
    struct Added {
        std::string key;
        std::size_t hash = 0;
        platform::FileStamp stamp;
        std::uint32_t outcome = 0;  // in `outcomes`; 0: nothing matched
    };
    struct Record {
        std::string_view key;
        platform::FileStamp stamp;
        std::uint32_t outcome = 0;
    };
    // The loaded file's entry for the key, or false; `added` holds the newer ones.
    bool find_loaded(std::string_view key, std::size_t hash, Record& record) const;
    // The key's place in `added`, or kNotAdded.
    std::size_t added_index(std::string_view key, std::size_t hash) const;
    static constexpr std::size_t kNotAdded = ~std::size_t{0};
    Record record_at(std::uint32_t slot) const;
    std::uint32_t outcome_index(const std::vector<std::string>& rules);

    // The loaded file's bytes as they are, with an open-addressing index of its entries: each slot
    // holds an entry's offset in the bytes (plus one; 0 is empty). A cache of a whole disk holds
    // hundreds of thousands of entries, and an object allocated for each made the load cost more
    // than the rest of the start-up.
    platform::FileContent loaded;
    std::vector<std::uint32_t> loaded_slots;  // a power of two of them
    std::size_t loaded_count = 0;             // distinct keys in the file
    // The entries stored since, with their own index (slots hold an index into `added`, plus
    // one); a key of the file stored again is found here first.
    std::vector<Added> added;
    std::vector<std::uint32_t> added_slots;
    std::size_t overridden = 0;  // keys of the file that are in `added` too
    // Each distinct list of matching rules once: nearly every file matches none, and files that
    // match mostly match the same few.
    std::vector<std::vector<std::string>> outcomes{{}};
    std::map<std::vector<std::string>, std::uint32_t> outcome_numbers;
    // Counts the changes to the entries; `saved` is the count the file holds.
    std::uint64_t revision = 0;
    std::uint64_t saved = 0;
    mutable std::mutex mutex;
    std::filesystem::path file;
    std::string rule_set;
};

// The "rule_cache.bin" layout: the 8 bytes "QVXRCACH", a 64-bit format version (1), the rule set's
// identity, the distinct outcomes after the empty one (a count, then per outcome a count of rule
// names and the names), and the entries (a count, then per entry the key, the size, the last-write
// time and the index of its outcome, 0 for none). Texts carry a 64-bit length; integers are
// little-endian.
std::string serialize_rule_cache(std::string_view rule_set,
                                 const std::vector<RuleCacheEntry>& entries);

// Reads that layout. False, with the outputs untouched, when the data is short, a count, length or
// outcome index exceeds what the data holds, the magic or version differs, or bytes follow the
// last entry. Never allocates more than a small multiple of the data's size.
bool parse_rule_cache(std::string_view data, std::string& rule_set,
                      std::vector<RuleCacheEntry>& entries);
