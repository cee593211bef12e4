#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/atomic_file.h"

namespace platform {
namespace {

constexpr int kAttempts = 100;

std::error_code last_error() { return {errno, std::system_category()}; }

std::filesystem::path folder_of(const std::filesystem::path& target) {
    auto folder = target.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Makes a new or renamed directory entry durable; a failure here does not undo the rename.
void sync_folder(const std::filesystem::path& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void AtomicFileWriter::open_temporary(const AtomicFileOptions& options) {
    int fd = -1;
    if (!options.named_temporary) {
        fd = ::open(folder_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        // An unprivileged process can name the file only through /proc; without it the named form
        // is used from the start rather than failing at the commit.
        if (fd >= 0 && ::access(descriptor_path(fd).c_str(), F_OK) != 0) {
            ::close(fd);
            fd = -1;
        }
        // The lock matters from the moment the file is linked into the folder at the commit.
        if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB);
    }
    for (int attempt = 0; fd < 0 && attempt < kAttempts; ++attempt) {
        const auto name = fresh_temporary_name(target);
        const int created = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (created < 0) {
            if (errno == EEXIST) continue;
            failure = last_error();
            return;
        }
        // Between the creation and the lock, another process's remove_stale_temporaries may take
        // the file for a dead writer's and remove it; then the name no longer leads to it, and
        // a fresh one is taken.
        struct stat opened {};
        struct stat named {};
        if (::flock(created, LOCK_EX | LOCK_NB) != 0 || ::fstat(created, &opened) != 0 ||
            ::lstat(name.c_str(), &named) != 0 || !same_file(opened, named)) {
            ::close(created);
            continue;
        }
        fd = created;
        temporary = name;
    }
    if (fd < 0) {
        failure = std::make_error_code(std::errc::file_exists);
        return;
    }
    buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::binary,
                                                              1 << 16);
    if (!buffer->is_open()) {
        failure = last_error();
        buffer.reset();
        ::close(fd);
        if (!temporary.empty()) ::unlink(temporary.c_str());
        temporary.clear();
        return;
    }
    handle = fd;
}

void AtomicFileWriter::discard() {
    out.rdbuf(nullptr);
    if (!temporary.empty()) ::unlink(temporary.c_str());
    temporary.clear();
    // Closing drops an unnamed temporary, and the lock.
    buffer.reset();
    handle = -1;
}

bool AtomicFileWriter::commit() {
    if (committed || buffer == nullptr) return false;
    errno = 0;
    out.flush();
    if (!out) return fail(errno != 0 ? last_error() : std::make_error_code(std::errc::io_error));
    const int fd = static_cast<int>(handle);
    if (::fsync(fd) != 0) return fail(last_error());
    // An unnamed file cannot be renamed over the target: it is linked under a temporary name
    // first, for as long as the two calls take.
    const std::string self = descriptor_path(fd);
    for (int attempt = 0; temporary.empty() && attempt < kAttempts; ++attempt) {
        const auto name = fresh_temporary_name(target);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary = name;
        } else if (errno != EEXIST) {
            return fail(last_error());
        }
    }
    if (temporary.empty()) return fail(std::make_error_code(std::errc::file_exists));
    if (std::rename(temporary.c_str(), target.c_str()) != 0) return fail(last_error());
    temporary.clear();
    sync_folder(folder_of(target));
    committed = true;
    discard();
    return true;
}

std::size_t remove_stale_temporaries(const std::filesystem::path& target) {
    const auto folder = folder_of(target);
    const auto target_name = target.filename();
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 0;
    std::size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator entry(folder, ec), end; !ec && entry != end;
         entry.increment(ec)) {
        const auto name = entry->path().filename();
        if (!is_temporary_name_of(name, target_name)) continue;
        const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // A running writer holds the lock until its temporary is renamed. The name is looked up
        // again once the lock is ours, so that a temporary renamed over its target meanwhile,
        // which the descriptor still reaches, is not taken for a dead writer's.
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(opened, named) && ::unlinkat(dir, name.c_str(), 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::close(dir);
    return removed;
}

bool sync_and_replace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || std::rename(temporary.c_str(), target.c_str()) != 0) return false;
    sync_folder(folder_of(target));
    return true;
}

bool can_write_in(const std::filesystem::path& folder) {
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace platform
