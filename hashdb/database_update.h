// The database update: an index names the hash lists, every list is fetched, and only when all of
// them arrived whole, each holding SHA-256 hashes, are "hashes.txt", "hashes.bin" and the database
// in use replaced, the three together. Otherwise nothing changes and the result says which URL or
// file failed and why. Lists come over https only, or from local files named by a local index.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hashdb/database_files.h"
#include "hashdb/hash_list.h"
#include "hashdb/update_settings.h"

class HashChecker;
class Logger;

struct UpdateResult {
    enum class Status { kUpdated, kFailed };
    Status status = Status::kFailed;
    std::string reason;     // for kFailed: what failed, naming the URL or file at fault
    std::size_t lists = 0;  // hash lists the index names
    HashListCounts counts;  // what the lists held, for kUpdated

    bool ok() const { return status != Status::kFailed; }
};

// What an update brought, for a line after its outcome: "3 lists, SHA-256 hashes taken: ...".
std::string describe(const UpdateResult& result);

class DatabaseUpdater {
  public:
    explicit DatabaseUpdater(Logger& logger,
                             UpdateSettings settings = UpdateSettings::from_environment());

    // Runs one update into `checker` and the files. Not to be run while anything looks up.
    UpdateResult update(HashChecker& checker, const DatabaseFiles& files = DatabaseFiles());

  private:
    Logger& logger;
    UpdateSettings settings;
    // The lists of the first index that named any; later updates of the same run reuse them.
    std::vector<std::string> list_urls;
    bool index_is_local = false;
};
