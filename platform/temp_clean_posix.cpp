#include "platform/temp_clean.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/process.h"

namespace platform {
namespace {

using Clock = std::chrono::system_clock;

Clock::time_point to_time_point(const timespec& t) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

Clock::time_point newest_time(const struct stat& st) {
    return std::max(
        {to_time_point(st.st_mtim), to_time_point(st.st_ctim), to_time_point(st.st_atim)});
}

// Reads the names in an open folder without consuming the caller's descriptor. Returns false
// when the listing could not be read to its end.
bool read_names(int dir_fd, std::vector<std::string>& names) {
    const int copy = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return false;
    DIR* dir = fdopendir(copy);
    if (dir == nullptr) {
        close(copy);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return ok;
}

// Opens a subfolder of dir_fd without following a link and without leaving dir_fd's file system.
// Returns -1 when the entry is no longer that folder (swapped, mounted over) or cannot be opened.
int open_subfolder(int dir_fd, const std::string& name, dev_t device) {
    const int fd =
        openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_dev != device) {
        close(fd);
        return -1;
    }
    return fd;
}

// Names that running services keep at the top of a temporary folder for as long as they run: the
// display server's socket folders and lock files, and the private temporary folders of system
// services. Their times stay old while they are in use, so age says nothing about them.
bool is_protected_name(std::string_view name) {
    for (const std::string_view kept :
         {".X11-unix", ".ICE-unix", ".XIM-unix", ".font-unix", ".Test-unix"}) {
        if (name == kept) return true;
    }
    constexpr std::string_view kLockStart = ".X";
    constexpr std::string_view kLockEnd = "-lock";
    if (name.size() >= kLockStart.size() + kLockEnd.size() && name.starts_with(kLockStart) &&
        name.ends_with(kLockEnd)) {
        return true;
    }
    return name.starts_with("systemd-private-");
}

// What a walk of an entry found out.
struct Findings {
    Clock::time_point newest = Clock::time_point::min();
    bool socket = false;
};

// Records the newest time of an entry and, for a folder, of everything inside it, and whether a
// socket is among them: a socket is the meeting point of a running program, and its times do not
// change while it is used. Each folder is examined before it is read, because reading it may
// update its access time. Anything that cannot be examined counts as used now, so doubt keeps an
// entry whenever there is an age limit. The walk stops once it knows the entry stays: a socket
// found, or a time later than limit.
void examine(int dir_fd, const std::string& name, dev_t device, Clock::time_point now,
             Clock::time_point limit, Findings& found) {
    struct stat st {};
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) found.newest = std::max(found.newest, now);
        return;
    }
    found.newest = std::max(found.newest, newest_time(st));
    if (S_ISSOCK(st.st_mode)) found.socket = true;
    if (!S_ISDIR(st.st_mode) || st.st_dev != device) return;
    const int fd = open_subfolder(dir_fd, name, device);
    if (fd < 0) {
        found.newest = std::max(found.newest, now);
        return;
    }
    std::vector<std::string> names;
    if (!read_names(fd, names)) found.newest = std::max(found.newest, now);
    for (const auto& child : names) {
        if (found.socket || found.newest > limit) break;
        examine(fd, child, device, now, limit, found);
    }
    close(fd);
}

// Removes one entry relative to dir_fd: a link or file is unlinked, a folder emptied through its
// own descriptor and then removed. Returns false when anything stayed behind.
bool remove_inside(int dir_fd, const std::string& name, dev_t device) {
    struct stat st {};
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    // An entry of another file system is a mount point (or a file bound onto one): never ours.
    if (st.st_dev != device) return false;
    // A socket made after the entry was examined stays too; the entry then counts as not removed.
    if (S_ISSOCK(st.st_mode)) return false;
    if (!S_ISDIR(st.st_mode)) {
        return unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    const int fd = open_subfolder(dir_fd, name, device);
    if (fd < 0) return false;
    std::vector<std::string> names;
    bool ok = read_names(fd, names);
    for (const auto& child : names) ok = remove_inside(fd, child, device) && ok;
    close(fd);
    if (!ok) return false;
    // If the folder was swapped for a link meanwhile, this fails with ENOTDIR and deletes nothing.
    return unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// The normal form of a path without the empty last element a trailing separator leaves.
std::filesystem::path tidy(const std::filesystem::path& path) {
    auto normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

// True when folder is path itself or one of the folders above it, compared element by element so
// that /home/al is not taken for an ancestor of /home/alice.
bool is_same_or_ancestor(const std::filesystem::path& folder, const std::filesystem::path& path) {
    const auto a = tidy(folder);
    const auto b = tidy(path);
    auto inside = b.begin();
    for (const auto& element : a) {
        if (inside == b.end() || *inside != element) return false;
        ++inside;
    }
    return true;
}

}  // namespace

bool usable_user_temp_folder(const std::filesystem::path& candidate,
                             const std::filesystem::path& home,
                             const std::filesystem::path& program_folder) {
    const auto folder = tidy(candidate);
    // A relative name depends on the working folder, so nothing about it can be vouched for.
    if (!folder.is_absolute() || !folder.has_relative_path()) return false;
    if (!home.empty() && is_same_or_ancestor(folder, home)) return false;
    if (!program_folder.empty() && is_same_or_ancestor(folder, program_folder)) return false;
    return true;
}

std::vector<std::filesystem::path> default_temp_folders() {
    std::vector<std::filesystem::path> folders;
    std::error_code ec;
    // The user's folder is TMPDIR taken as given, so it is checked before a root run empties it.
    // Links are resolved first so that a link naming / or the home folder is judged by its target,
    // which is what the clean-up opens.
    auto user = std::filesystem::temp_directory_path(ec);
    if (!ec) user = std::filesystem::weakly_canonical(user, ec);
    if (!ec) {
        // Both the home folder the environment names and the account's own, as they differ when
        // rights were gained without a fresh login.
        std::vector<std::filesystem::path> homes;
        if (const char* variable = std::getenv("HOME"); variable != nullptr && *variable != '\0') {
            homes.emplace_back(variable);
        }
        if (const passwd* entry = getpwuid(geteuid());
            entry != nullptr && entry->pw_dir != nullptr) {
            homes.emplace_back(entry->pw_dir);
        }
        std::filesystem::path program_folder;
        if (const auto exe = executable_path()) program_folder = exe->parent_path();
        bool usable = usable_user_temp_folder(user, {}, program_folder);
        for (auto& home : homes) {
            std::error_code home_ec;
            const auto resolved = std::filesystem::weakly_canonical(home, home_ec);
            usable = usable && usable_user_temp_folder(user, home_ec ? home : resolved, {});
        }
        if (usable) folders.push_back(std::move(user));
    }
    folders.emplace_back("/var/tmp");
    return folders;
}

std::chrono::seconds default_min_entry_age() { return std::chrono::hours(24); }

const char kComponentCleanupCommand[] = "apt-get clean";
const char kDnsFlushCommand[] = "resolvectl flush-caches > /dev/null 2>&1";

const ComponentCleanupTexts kComponentCleanupTexts = {
    "Cleaning Package Cache",
    "[SUCCESS] Package cache cleanup completed.",
    "[WARN] Package cache cleanup failed or requires root rights.",
    "Starting package cache cleanup",
    "Package cache cleanup successful",
    "[WARN] Package cache cleanup failed - may need root privileges",
};

TempFolder::TempFolder(const std::filesystem::path& folder_path) : folder(folder_path) {
    // The folder itself is configured, not found in a shared place, so a link naming it is trusted.
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) handle = fd;
}

TempFolder::~TempFolder() {
    if (is_open()) close(static_cast<int>(handle));
}

bool TempFolder::list(std::vector<std::filesystem::path>& names) const {
    if (!is_open()) return false;
    std::vector<std::string> found;
    const bool ok = read_names(static_cast<int>(handle), found);
    for (auto& name : found) names.emplace_back(std::move(name));
    return ok;
}

EntryRemoval TempFolder::remove(const std::filesystem::path& name, const EntryAgeRule& rule,
                                bool dry_run) const {
    if (!is_open()) return EntryRemoval::kFailed;
    const int fd = static_cast<int>(handle);
    struct stat self {};
    if (fstat(fd, &self) != 0) return EntryRemoval::kFailed;
    const std::string entry = name.string();
    if (entry.empty() || entry.find('/') != std::string::npos || entry == "." || entry == "..") {
        return EntryRemoval::kFailed;
    }
    if (is_protected_name(entry)) return EntryRemoval::kInUse;
    const auto limit = rule.min_age > std::chrono::seconds::zero() ? rule.now - rule.min_age
                                                                   : Clock::time_point::max();
    Findings found;
    examine(fd, entry, self.st_dev, rule.now, limit, found);
    if (found.socket || found.newest > limit) return EntryRemoval::kInUse;
    if (dry_run) return EntryRemoval::kWouldRemove;
    return remove_inside(fd, entry, self.st_dev) ? EntryRemoval::kRemoved : EntryRemoval::kFailed;
}

}  // namespace platform
