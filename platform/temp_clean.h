// Safe emptying of temporary folders. The cleaner runs with administrator or root rights in
// folders that anyone can write to, so every deletion stays inside the folder it started in: it
// never follows a symbolic link, junction or mount point, and an entry swapped for a link while
// the clean-up runs cannot redirect it. A link is removed as a link.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace platform {

// The folders emptied by the temp clean-up, in order. The user's temporary folder comes first; when
// the system cannot say which it is, or it fails usable_user_temp_folder for the home folders and
// the program's folder (on Windows also the Windows folder), it is left out rather than guessed.
std::vector<std::filesystem::path> default_temp_folders();

// Whether a folder named as the user's temporary folder may be emptied. The name comes from the
// environment and is used as given, yet the clean-up deletes every old entry at its top with root
// or administrator rights: a mistaken or planted value such as the root folder, the home folder
// or the folder holding the program would wipe the system, the user's files or the program itself.
// So the folder is refused when it is a root folder, when it is the home folder or one of its
// ancestors, or when it is or holds the program's folder. It must be absolute; home and
// program_folder are left out of the test when empty. Paths are compared as written after
// lexical normalisation, so callers resolve links first. On Windows the names are read as the
// system reads them: both separators, letter case ignored, the "\\?\" and "\\.\" forms, and
// trailing dots and blanks dropped; drive roots and the roots of network shares are root folders.
bool usable_user_temp_folder(const std::filesystem::path& candidate,
                             const std::filesystem::path& home,
                             const std::filesystem::path& program_folder);

// How old an entry must be before it is deleted. Linux leaves entries used within the last day
// alone, because files in use there are not locked as they are on Windows; Windows has no limit.
std::chrono::seconds default_min_entry_age();

// The system's component or package store clean-up, and its DNS cache flush, as command lines for
// the command interpreter.
extern const char kComponentCleanupCommand[];
extern const char kDnsFlushCommand[];

// The console and log texts of the component clean-up step, in this system's wording.
struct ComponentCleanupTexts {
    const char* spinner_label;
    const char* success;
    const char* failure;
    const char* log_start;
    const char* log_success;
    const char* log_failure;
};
extern const ComponentCleanupTexts kComponentCleanupTexts;

// An entry counts as in use when the newest of its modification, status-change and access times
// (for a folder, of anything inside it) is later than now - min_age. A zero min_age deletes
// everything by age. Linux also keeps, whatever their age, sockets, folders with a socket anywhere
// inside, and the well-known names of running services at the top of a temporary folder.
struct EntryAgeRule {
    std::chrono::seconds min_age{0};
    std::chrono::system_clock::time_point now;
};

enum class EntryRemoval {
    kRemoved,      // gone, also when it had disappeared already
    kFailed,       // could not be removed completely; whatever was deleted inside it stays deleted
    kInUse,        // left alone as in use (see EntryAgeRule)
    kWouldRemove,  // a dry run: it would be removed, and was left as it is
};

// One temporary folder held open while its entries are listed and removed, so every removal is
// made relative to this very folder.
class TempFolder {
  public:
    // Opens the folder; is_open() tells whether that worked (missing, not a folder, no access).
    explicit TempFolder(const std::filesystem::path& folder);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool is_open() const { return handle != kNoHandle; }
    const std::filesystem::path& path() const { return folder; }

    // Appends the names of the entries directly inside the folder, in listing order. Returns
    // false when the listing failed; names read before the failure stay appended.
    bool list(std::vector<std::filesystem::path>& names) const;

    // Removes the named entry of this folder with everything inside it, unless the age rule keeps
    // it. A dry run decides the same way and removes nothing.
    EntryRemoval remove(const std::filesystem::path& name, const EntryAgeRule& rule,
                        bool dry_run = false) const;

  private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::filesystem::path folder;
    std::intptr_t handle = kNoHandle;  // descriptor (Linux) or HANDLE (Windows) of the open folder
};

}  // namespace platform
