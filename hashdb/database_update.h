// The database update: an index names the hash lists (the local sources file, or an index on a
// server when QUORVEX_UPDATE_URL names one), every list is fetched, and only when all of them
// arrived whole, each holding SHA-256 hashes, are "hashes.txt", "hashes.bin" and the database in
// use replaced, the three together; the user's own "hashes.local.txt" is merged into every build.
// Otherwise nothing changes and the result says which URL or file failed and why. Lists come over
// https only, or from local files named by a local index. A list its server says is unchanged
// (ETag, Last-Modified) is not downloaded again.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hashdb/database_files.h"
#include "hashdb/hash_list.h"
#include "hashdb/update_settings.h"

class HashChecker;
class Logger;
namespace platform {
class HttpClient;
}

struct UpdateResult {
    enum class Status {
        kUpdated,   // a new database is in use and in the files
        kUpToDate,  // the lists and the local list hold what the database already holds
        kFailed,    // nothing changed; see reason
    };
    Status status = Status::kFailed;
    std::string reason;            // for kFailed: what failed, naming the URL or file at fault
    std::size_t lists = 0;         // hash lists the index names
    std::size_t unchanged = 0;     // of those, lists their servers said had not changed
    HashListCounts counts;         // what the lists held
    std::size_t local_hashes = 0;  // SHA-256 hashes of the local list

    bool ok() const { return status != Status::kFailed; }
};

// What an update brought, for a line after its outcome: "3 lists (1 unchanged), SHA-256 hashes
// taken: ..., other entries ignored: ..., own hashes: ...".
std::string describe(const UpdateResult& result);

class DatabaseUpdater {
  public:
    explicit DatabaseUpdater(Logger& logger,
                             UpdateSettings settings = UpdateSettings::from_environment());

    // Runs one update into `checker` and the files. Not to be run while anything looks up.
    UpdateResult update(HashChecker& checker, const DatabaseFiles& files = DatabaseFiles());

  private:
    // The lists to fetch, from the sources file (read afresh each time, so edits count at once)
    // or the index URL (fetched once per run). False, with the reason, when there are none.
    bool index_entries(const DatabaseFiles& files, platform::HttpClient& client,
                       std::vector<IndexEntry>& entries, bool& local, std::string& reason);

    Logger& logger;
    UpdateSettings settings;
    // The lists of the first index from a URL that named any; later updates of the run reuse them.
    std::vector<IndexEntry> remote_entries;
};
