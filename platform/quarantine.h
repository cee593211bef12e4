// The system calls a quarantine is built from: a folder only its owner (and, on Windows, the
// administrators) can enter, a lock that keeps two processes from rewriting its index at once,
// and a file pinned by an open handle while it is checked against what a scan saw and moved.
// Failures are the system's own error codes; the caller words them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/file_info.h"

namespace platform {

// What a restored file gets back. `owner` is the system's own text for it: "UID:GID" (Linux),
// the security descriptor's owner and access list in SDDL (Windows).
struct FileMetadata {
    std::uint32_t mode = 0;  // permission bits (Linux), file attributes (Windows)
    std::string owner;
    std::int64_t access_time_ns = 0;  // since 1970-01-01 UTC
    std::int64_t write_time_ns = 0;
};

// Creates `folder` (its parent must exist) with access for its owner only (Linux: mode 0700;
// Windows: an access list of the owner and the Administrators group, not inherited), or narrows
// the access of an existing one to that. A link or anything but a folder in its place is refused.
std::error_code make_private_folder(const std::filesystem::path& folder);

// An exclusive lock on the file `path` (created when missing), held while the object lives. The
// constructor waits while another process holds it.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    std::error_code error() const { return failure; }

  private:
    std::intptr_t handle = -1;
    std::error_code failure;
};

// A regular file held open from the moment it is opened: whatever later happens to its name, the
// checks and the move act on this very file. A link in its place is not followed
// (errc::too_many_symbolic_link_levels); on Linux the file is opened relative to its open
// parent folder, and while it is held on Windows no other process may write or delete it.
class PinnedFile {
  public:
    explicit PinnedFile(const std::filesystem::path& path);
    ~PinnedFile();
    PinnedFile(const PinnedFile&) = delete;
    PinnedFile& operator=(const PinnedFile&) = delete;

    // Why it could not be opened (errc::invalid_argument: not a regular file).
    std::error_code error() const { return failure; }

    // Its stamp and metadata as they were when it was opened.
    const FileStamp& stamp() const { return opened_stamp; }
    const FileMetadata& metadata() const { return opened_metadata; }

    // Renames it to `target`, replacing a file there only when `replace` is set
    // (errc::file_exists otherwise). errc::cross_device_link: `target` is on another file system
    // or volume, and only a copy can take it there.
    std::error_code rename_to(const std::filesystem::path& target, bool replace);

    // Copies its whole content into the new file `target`, created with access for its owner
    // only, and forces the copy to disk. A file already at `target` is an error.
    std::error_code copy_to(const std::filesystem::path& target) const;

    // Removes it from its folder, provided its name there still leads to it.
    std::error_code remove();

    // Gives it access for its owner only and nothing that runs it (Linux: mode 0600; Windows:
    // the private folder's access list).
    std::error_code make_owner_only();

    // Gives it back the mode and times of `metadata`, and its owner where this process may
    // (`owner_error` then says why not).
    std::error_code restore_metadata(const FileMetadata& metadata, std::error_code& owner_error);

  private:
    struct State;
    std::unique_ptr<State> state;
    std::error_code failure;
    FileStamp opened_stamp;
    FileMetadata opened_metadata;
};

// The stamp of whatever is at `path`, not following a link there; false when nothing is, or it
// is not a regular file.
bool query_entry_stamp(const std::filesystem::path& path, FileStamp& stamp);

// Forces the listing of `folder` to disk, so that a rename into it survives a crash.
void sync_folder(const std::filesystem::path& folder);

}  // namespace platform
