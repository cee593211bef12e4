// Writing a file so that a crash or a full disk never leaves a half-written one behind, and a
// crash leaves no litter either: the data goes to a temporary file in the same folder, which
// replaces the target only when complete.
//
// Linux: the temporary is an unnamed file (O_TMPFILE) that gets a name only for the instant
// between linking it into the folder and renaming it over the target. Windows, and Linux on a file
// system without unnamed files: the temporary is named "<target's name>.tmp-<numbers>"; on
// Windows it is marked for deletion until the commit, so the system removes it when a killed
// writer's handle closes. In every case the writer holds a lock on its temporary from creation to
// rename (a flock on Linux, a handle that denies deletion on Windows), so that
// remove_stale_temporaries tells what a killed writer left from what a running one is writing.
#pragma once

#include <ext/stdio_filebuf.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <system_error>

namespace platform {

struct AtomicFileOptions {
    bool text = false;  // CR LF line ends on Windows; no difference on Linux
    // A named temporary even where the file system offers unnamed ones: the form every file
    // system supports.
    bool named_temporary = false;
};

class AtomicFileWriter {
  public:
    // Opens a fresh temporary file beside `target`. Check ok() before writing.
    explicit AtomicFileWriter(std::filesystem::path target, bool text = false);
    AtomicFileWriter(std::filesystem::path target, const AtomicFileOptions& options);
    ~AtomicFileWriter();  // discards the temporary file unless commit() succeeded
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // True while the temporary is open and no write to it has failed.
    bool ok() const { return buffer != nullptr && static_cast<bool>(out); }
    std::ostream& stream() { return out; }

    // Flushes, forces the data to disk and renames the temporary file over the target. Returns
    // false (and leaves the target as it was, and no temporary behind) when any of that fails.
    bool commit();

    // Why the temporary could not be made or the commit failed; empty while nothing failed.
    std::error_code error() const { return failure; }

  private:
    // A name for a temporary of `target` that no other writer, in this process or another, uses.
    static std::filesystem::path fresh_temporary_name(const std::filesystem::path& target);
    void open_temporary(const AtomicFileOptions& options);
    bool fail(std::error_code reason);
    void discard();

    std::filesystem::path target;
    std::filesystem::path temporary;  // its name; empty while it has none
    std::intptr_t handle = -1;        // descriptor or HANDLE of the temporary, owned by buffer
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer;
    std::ostream out{nullptr};
    std::error_code failure;
    bool committed = false;
};

// True when `name` is the name AtomicFileWriter gives a temporary of a file named `target_name`:
// the target's name, ".tmp-", and one or more decimal numbers joined by '-'.
bool is_temporary_name_of(const std::filesystem::path& name,
                          const std::filesystem::path& target_name);

// Removes the temporaries that writers of `target` left beside it when they were killed: regular
// files named by is_temporary_name_of that no running writer holds, in any process. Nothing else
// is touched, links included. Returns how many were removed; a folder that cannot be read removes
// none.
std::size_t remove_stale_temporaries(const std::filesystem::path& target);

// True when this process may create files in `folder` (a data folder of root's, run by another
// user, is not).
bool can_write_in(const std::filesystem::path& folder);

// Forces a closed file's data to disk and atomically renames it over `target`.
bool sync_and_replace(const std::filesystem::path& temporary, const std::filesystem::path& target);

}  // namespace platform
