// The quarantine: files a scan found, moved out of harm's way into a folder only their owner can
// enter, each under a fresh name with nothing that runs it, and put back on request. One index
// file in the folder records every item: where it came from (the path's exact units), its size,
// digest, reasons, mode, owner and times. Every change is ordered so that a crash at any point
// leaves each item either wholly in quarantine with its entry or still in its original place;
// the next use of the folder finishes or undoes what a crash interrupted.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_info.h"
#include "platform/quarantine.h"

// A file to quarantine, as the scan saw it.
struct QuarantineCandidate {
    std::filesystem::path path;
    std::string sha256;  // 64 lowercase hex characters
    std::uint64_t size = 0;
    std::vector<std::string> reasons;
    platform::FileStamp stamp;  // the file is moved only while it still has this stamp
};

// One item of the quarantine.
struct QuarantineItem {
    enum class State {
        kMoving,     // its entry is written, the move may not have happened yet
        kStored,     // wholly in quarantine
        kRestoring,  // being put back to `restore_target`
    };
    std::string id;
    State state = State::kStored;
    std::filesystem::path original_path;
    std::uint64_t size = 0;
    std::string sha256;
    std::vector<std::string> reasons;
    std::int64_t quarantined_at = 0;  // seconds since 1970-01-01 UTC
    platform::FileMetadata metadata;  // of the original file when it was moved
    platform::FileStamp stamp;        // the same, to tell the original from a file put there since
    std::filesystem::path restore_target;
};

// The durable steps of one move or restore, in order; a test stops the process after any of them.
enum class QuarantineStep {
    kEntryWritten,     // the index holds the entry of the item about to move
    kRenamed,          // renamed into the folder (same file system)
    kMadePrivate,      // its access narrowed to the owner
    kCopied,           // copied into a partial file, forced to disk (another file system)
    kCopyVerified,     // the copy's digest checked and the copy named as the item
    kOriginalRemoved,  // the original removed after its copy was in place
    kEntryStored,      // the index marks the item as stored
    kRestoreMarked,    // the index marks the item as being restored
    kRestoreMoved,     // the item is at its restore target
    kEntryRemoved,     // the index no longer holds the item
};

struct QuarantineOptions {
    // When items are quarantined, in seconds since 1970.
    std::function<std::int64_t()> clock = [] {
        return static_cast<std::int64_t>(std::time(nullptr));
    };
    // False: copy and remove even where a rename would do, as across file systems.
    bool allow_rename = true;
    // Called after each durable step; a test makes it end the process there.
    std::function<void(QuarantineStep)> after_step;
};

// What became of one file asked to be quarantined.
struct QuarantineOutcome {
    std::string id;     // its item, when it was quarantined
    std::string error;  // why not, otherwise
    bool ok() const { return error.empty(); }
};

// What became of a restore: `error` empty when the file is back; `owner_warning` says why its
// owner could not be given back, which does not fail the restore.
struct RestoreOutcome {
    std::filesystem::path restored_to;
    std::string error;
    std::string owner_warning;
    bool ok() const { return error.empty(); }
};

class Quarantine {
  public:
    // The quarantine kept in `folder`, which is made on first use (its parent must exist).
    explicit Quarantine(std::filesystem::path folder, QuarantineOptions options = {});

    const std::filesystem::path& folder() const { return location; }

    // Makes the folder, takes its lock and finishes or undoes what an interrupted run left.
    // Every operation below does this first; an empty text means it went well.
    std::string prepare();

    // Moves the file into quarantine, if it is still the file the scan saw.
    QuarantineOutcome add(const QuarantineCandidate& candidate);

    // The items in quarantine, oldest first. False, with `error` set, when the index cannot be
    // read.
    bool list(std::vector<QuarantineItem>& items, std::string& error);

    // Puts the item back at its original path, or at `to`, refusing to replace an existing file
    // unless `force`.
    RestoreOutcome restore(const std::string& id, const std::optional<std::filesystem::path>& to,
                           bool force);

    // Removes one item (or, with an empty id, every item) for good; `removed` counts them.
    std::string remove(const std::string& id, std::size_t& removed);

    // The index file, and the name an item is stored under.
    std::filesystem::path index_path() const { return location / "index.json"; }
    std::filesystem::path stored_path(const std::string& id) const { return location / id; }

  private:
    struct Session;
    void step(QuarantineStep done) const;

    std::filesystem::path location;
    QuarantineOptions options;
};
