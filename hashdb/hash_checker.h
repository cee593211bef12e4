// The database of known-bad SHA-256 digests: one flat, sorted array of 32-byte records, looked up
// by bisection. It lives on disk as "hashes.txt" (one hex hash per line) and "hashes.bin" (the
// sorted raw records), and can be refreshed from the hash-list server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hashdb/update_settings.h"
#include "platform/file_content.h"
#include "platform/memory.h"

class Logger;

class HashChecker {
  public:
    // Also performs the process-wide initialisation of the HTTP library; the destructor undoes it.
    explicit HashChecker(Logger& logger,
                         UpdateSettings settings = UpdateSettings::from_environment());
    ~HashChecker();
    HashChecker(const HashChecker&) = delete;
    HashChecker& operator=(const HashChecker&) = delete;

    // Loads bin_path, or rebuilds it from txt_path when it is missing or unusable.
    bool load(const std::string& txt_path, const std::string& bin_path);

    // Replaces the in-memory database with the file's records. On failure the previous database
    // stays as it was.
    bool load_binary(const std::string& bin_path);

    // Builds bin_path from the 64-character lines of txt_path. Writes nothing when the text holds
    // no hash; the old bin_path is replaced only by a complete file.
    static bool convert_text_to_binary(const std::string& txt_path, const std::string& bin_path);

    // True when the 64-character hex text (either case) names a digest in the database.
    bool contains(std::string_view hex_hash) const;

    // Downloads the hash lists named by the server's index, rewrites both files and reloads.
    bool update_database(const std::string& txt_path, const std::string& bin_path);

    // Fetches the index once per run; true when there are list URLs to download.
    bool fetch_update_urls();

    std::size_t record_count() const { return digests.size() / 32; }
    bool is_loaded() const { return loaded; }
    const std::vector<std::string>& list_urls() const { return update_urls; }

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
    bool loaded = false;
    std::mutex mutex;
    Logger& logger;
    std::vector<std::string> update_urls;
    UpdateSettings update_settings;
};

// Decodes one 64-character hex text into 32 bytes: high nibble first, either case, and any other
// character counting as 0. The caller checks the length.
void decode_hex_digest(std::string_view hex, unsigned char* out);

// Appends, in text order, the 32-byte record of every line of a "hashes.txt" text that is exactly
// 64 characters long once surrounding white space is trimmed; other lines are ignored.
void decode_hash_lines(std::string_view text, std::vector<unsigned char>& records);
