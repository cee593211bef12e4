// The hash database in use: the known-bad SHA-256 digests that scans and the autostart check look
// files up in. Loaded at start-up from "hashes.bin", which is rebuilt from "hashes.txt" and
// "hashes.local.txt" when needed; replaced whole, never edited, by the database update
// (DatabaseUpdater).
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "hashdb/database_files.h"
#include "hashdb/hash_database.h"
#include "hashdb/hash_list.h"
#include "hashdb/load_result.h"

class Logger;

class HashChecker {
  public:
    // Also performs the process-wide initialisation of the HTTP library; the destructor undoes it.
    explicit HashChecker(Logger& logger);
    ~HashChecker();
    HashChecker(const HashChecker&) = delete;
    HashChecker& operator=(const HashChecker&) = delete;

    // Loads files.binary, or rebuilds it from files.text and files.local when it is missing or
    // unusable, or older than files.local (the user added hashes by hand). kNotFound when no file
    // exists; kFailed, with the reasons, when none is usable.
    LoadResult load(const DatabaseFiles& files);
    // The same with the two files only, and no local list.
    LoadResult load(const std::string& txt_path, const std::string& bin_path);

    // Replaces the database in use with the file's records. On failure the previous database
    // stays as it was.
    LoadResult load_binary(const std::string& bin_path);

    // Builds bin_path from the hash lines of txt_path. Writes nothing when the text holds no
    // SHA-256; the old bin_path is replaced only by a complete file. The reason of a failure goes
    // to `error` when given.
    static bool convert_text_to_binary(const std::string& txt_path, const std::string& bin_path,
                                       std::string* error = nullptr);

    // True when the 64-character hex text (either case) names a digest in the database.
    bool contains(std::string_view hex_hash) const { return loaded && current.contains(hex_hash); }

    // Puts a complete new database in use. Called while nothing looks up.
    void replace(HashDatabase database);

    const HashDatabase& database() const { return current; }
    std::size_t record_count() const { return current.record_count(); }
    bool is_loaded() const { return loaded; }

  private:
    HashDatabase current;
    bool loaded = false;
    std::mutex mutex;
    Logger& logger;
};
