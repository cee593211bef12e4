#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/file_info_posix.h"
#include "platform/quarantine.h"

namespace platform {
namespace {

std::error_code last_error() { return std::error_code(errno, std::generic_category()); }

std::int64_t nanoseconds_of(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

struct timespec timespec_of(std::int64_t nanoseconds) {
    struct timespec time {};
    time.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    time.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (time.tv_nsec < 0) {
        time.tv_nsec += 1000000000;
        time.tv_sec -= 1;
    }
    return time;
}

// An open descriptor that closes itself.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }
    int release() {
        const int held = fd;
        fd = -1;
        return held;
    }
    void reset(int other = -1) {
        if (fd >= 0) ::close(fd);
        fd = other;
    }

  private:
    int fd;
};

std::error_code write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t wrote = ::write(fd, data, length);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        data += wrote;
        length -= static_cast<std::size_t>(wrote);
    }
    return {};
}

}  // namespace

std::error_code make_private_folder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return last_error();
    // Whether made just now or found, the folder is opened without following a link in its place
    // and narrowed to its owner: a folder made earlier with a wider umask or by hand is fixed.
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        return errno == ELOOP ? std::make_error_code(std::errc::too_many_symbolic_link_levels)
                              : last_error();
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return last_error();
    if ((info.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) return last_error();
    return {};
}

FileLock::FileLock(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure = last_error();
        return;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        failure = last_error();
        ::close(fd);
        return;
    }
    handle = fd;
}

FileLock::~FileLock() {
    if (handle >= 0) ::close(static_cast<int>(handle));
}

struct PinnedFile::State {
    Descriptor folder;
    Descriptor file;
    std::string name;
    std::filesystem::path path;
};

PinnedFile::PinnedFile(const std::filesystem::path& path) : state(std::make_unique<State>()) {
    state->path = path;
    state->name = path.filename().native();
    std::filesystem::path parent = path.parent_path();
    if (parent.empty()) parent = ".";
    if (state->name.empty() || state->name == "." || state->name == "..") {
        failure = std::make_error_code(std::errc::invalid_argument);
        return;
    }
    state->folder.reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (state->folder.get() < 0) {
        failure = last_error();
        return;
    }
    // O_NONBLOCK: a FIFO put in the file's place must not stall the open; fstat then rejects it.
    state->file.reset(::openat(state->folder.get(), state->name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (state->file.get() < 0) {
        failure = errno == ELOOP ? std::make_error_code(std::errc::too_many_symbolic_link_levels)
                                 : last_error();
        return;
    }
    struct stat info {};
    if (::fstat(state->file.get(), &info) != 0) {
        failure = last_error();
        return;
    }
    if (!stamp_of_status(info, opened_stamp)) {
        failure = std::make_error_code(std::errc::invalid_argument);
        return;
    }
    opened_metadata.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    opened_metadata.owner = std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid);
    opened_metadata.access_time_ns = nanoseconds_of(info.st_atim);
    opened_metadata.write_time_ns = nanoseconds_of(info.st_mtim);
}

PinnedFile::~PinnedFile() = default;

std::error_code PinnedFile::rename_to(const std::filesystem::path& target, bool replace) {
    if (failure) return failure;
    const int moved = ::renameat2(state->folder.get(), state->name.c_str(), AT_FDCWD,
                                  target.c_str(), replace ? 0u : RENAME_NOREPLACE);
    if (moved == 0) return {};
    if (errno != EINVAL || replace) return last_error();
    // A file system without the no-replace flag: a hard link cannot replace anything either, and
    // the old name goes only once the new one exists.
    // Where hard links are not supported either (EPERM), only a copy can move the file.
    if (::linkat(state->folder.get(), state->name.c_str(), AT_FDCWD, target.c_str(), 0) != 0) {
        return errno == EPERM ? std::make_error_code(std::errc::cross_device_link) : last_error();
    }
    if (::unlinkat(state->folder.get(), state->name.c_str(), 0) != 0) {
        const std::error_code error = last_error();
        ::unlink(target.c_str());
        return error;
    }
    return {};
}

std::error_code PinnedFile::copy_to(const std::filesystem::path& target) const {
    if (failure) return failure;
    Descriptor copy(
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (copy.get() < 0) return last_error();
    if (::fchmod(copy.get(), 0600) != 0) return last_error();
    constexpr std::size_t kBufferSize = std::size_t{1} << 20;
    const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(state->file.get(), buffer.get(), kBufferSize, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        if (got == 0) break;
        if (const auto error = write_all(copy.get(), buffer.get(), static_cast<std::size_t>(got))) {
            return error;
        }
        offset += got;
    }
    if (::fsync(copy.get()) != 0) return last_error();
    return ::close(copy.release()) == 0 ? std::error_code() : last_error();
}

std::error_code PinnedFile::remove() {
    if (failure) return failure;
    // The name must still be the file held open: one swapped in since is not ours to remove.
    struct stat named {};
    if (::fstatat(state->folder.get(), state->name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return last_error();
    }
    FileStamp now;
    if (!stamp_of_status(named, now) || now.identity != opened_stamp.identity) {
        return std::make_error_code(std::errc::device_or_resource_busy);
    }
    if (::unlinkat(state->folder.get(), state->name.c_str(), 0) != 0) return last_error();
    ::fsync(state->folder.get());
    return {};
}

std::error_code PinnedFile::make_owner_only() {
    if (failure) return failure;
    return ::fchmod(state->file.get(), 0600) == 0 ? std::error_code() : last_error();
}

std::error_code PinnedFile::restore_metadata(const FileMetadata& metadata,
                                             std::error_code& owner_error) {
    if (failure) return failure;
    owner_error.clear();
    unsigned long uid = 0;
    unsigned long gid = 0;
    if (std::sscanf(metadata.owner.c_str(), "%lu:%lu", &uid, &gid) == 2) {
        // Only root may give a file away; for anyone else the owner stays theirs.
        if (::fchown(state->file.get(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
            owner_error = last_error();
        }
    } else {
        owner_error = std::make_error_code(std::errc::invalid_argument);
    }
    // After the owner: changing it clears the set-user-ID and set-group-ID bits.
    if (::fchmod(state->file.get(), static_cast<mode_t>(metadata.mode & 07777)) != 0) {
        return last_error();
    }
    const struct timespec times[2] = {timespec_of(metadata.access_time_ns),
                                      timespec_of(metadata.write_time_ns)};
    if (::futimens(state->file.get(), times) != 0) return last_error();
    return {};
}

bool query_entry_stamp(const std::filesystem::path& path, FileStamp& stamp) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && stamp_of_status(info, stamp);
}

void sync_folder(const std::filesystem::path& folder) {
    Descriptor fd(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace platform
