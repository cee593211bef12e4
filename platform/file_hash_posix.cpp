#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <unordered_map>

#include "platform/file_hash.h"
#include "platform/file_info_posix.h"
#include "platform/fs_kind_posix.h"

namespace platform {
namespace {

// Large enough that the per-read system call cost vanishes next to the digest, small enough to
// stay in the L2/L3 cache between the read and the digest.
constexpr std::size_t kReadBufferSize = std::size_t{1} << 20;

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Per worker thread: a read buffer and a digest context, reused for every file the thread hashes
// instead of being allocated per call.
struct HashWorkspace {
    std::unique_ptr<unsigned char[]> buffer{new unsigned char[kReadBufferSize]};
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context{EVP_MD_CTX_new()};
};

HashWorkspace& workspace() {
    thread_local HashWorkspace space;
    return space;
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

void set_error(ReadError* error, ReadFailure failure, int system) {
    if (error == nullptr) return;
    error->failure = failure;
    error->system =
        system == 0 ? std::error_code() : std::error_code(system, std::generic_category());
}

// The status of an open file that may be read: a regular file, not on a pseudo file system.
bool readable_status(const FileDescriptor& file, struct stat& info, ReadError* error) {
    if (::fstat(file.get(), &info) != 0) {
        set_error(error, ReadFailure::kOpen, errno);
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_size < 0) {
        set_error(error, ReadFailure::kNotRegularFile, 0);
        return false;
    }
    if (is_on_pseudo_file_system(file.get())) {
        set_error(error, ReadFailure::kPseudoFile, 0);
        return false;
    }
    return true;
}

// Digests the file behind an open descriptor (see sha256_file).
bool sha256_open_file(const FileDescriptor& file, Sha256Digest& digest, ByteHistogram* histogram,
                      FileStamp* stamp, ReadError* error) {
    const auto fail = [error](ReadFailure failure, int system = 0) {
        set_error(error, failure, system);
        return false;
    };
    struct stat info {};
    if (!readable_status(file, info, error)) return false;
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    HashWorkspace& space = workspace();
    EVP_MD_CTX* context = space.context.get();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        return fail(ReadFailure::kDigest);
    }

    ByteHistogram counted;
    const auto expected = static_cast<std::uint64_t>(info.st_size);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(file.get(), space.buffer.get(), kReadBufferSize);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(ReadFailure::kRead, errno);
        }
        if (got == 0) break;
        total += static_cast<std::uint64_t>(got);
        // A file that grows while it is read would otherwise be digested without end.
        if (total > expected) return fail(ReadFailure::kChanged);
        if (EVP_DigestUpdate(context, space.buffer.get(), static_cast<std::size_t>(got)) != 1) {
            return fail(ReadFailure::kDigest);
        }
        if (histogram != nullptr)
            add_to_histogram(space.buffer.get(), static_cast<std::size_t>(got), counted);
    }
    // Fewer bytes than fstat reported: the file was truncated under us; its digest would name
    // content that never existed as a whole.
    if (total != expected) return fail(ReadFailure::kChanged);

    Sha256Digest result{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, result.data(), &length) != 1 || length != result.size()) {
        return fail(ReadFailure::kDigest);
    }
    digest = result;
    if (histogram != nullptr) *histogram = counted;
    if (stamp != nullptr) stamp_of_status(info, *stamp);
    return true;
}

// O_NONBLOCK: opening a FIFO without a writer must not wait; fstat then rejects it.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

// The entry `name` of the open folder, or the file at `path` where the folder was opened by name.
int open_entry(const FolderReader& folder, const FolderReader::Char* name,
               const std::filesystem::path& path) {
    if (folder.descriptor() < 0) return ::open(path.c_str(), kOpenFlags);
    return ::openat(folder.descriptor(), name, kOpenFlags);
}

// Hands the file opened as `fd` to `read`, or says why it could not be opened.
template <class Read>
bool read_opened(int fd, ReadError* error, Read&& read) {
    FileDescriptor file(fd);
    if (file.get() < 0) {
        set_error(error, ReadFailure::kOpen, errno);
        return false;
    }
    return read(file);
}

}  // namespace

bool sha256_file(const std::filesystem::path& path, Sha256Digest& digest, ByteHistogram* histogram,
                 FileStamp* stamp, ReadError* error) {
    return read_opened(::open(path.c_str(), kOpenFlags), error, [&](const FileDescriptor& file) {
        return sha256_open_file(file, digest, histogram, stamp, error);
    });
}

bool sha256_file_in(const FolderReader& folder, const FolderReader::Char* name,
                    const std::filesystem::path& path, Sha256Digest& digest,
                    ByteHistogram* histogram, FileStamp* stamp, ReadError* error) {
    return read_opened(open_entry(folder, name, path), error, [&](const FileDescriptor& file) {
        return sha256_open_file(file, digest, histogram, stamp, error);
    });
}

bool sha256_bytes(const unsigned char* data, std::size_t length, Sha256Digest& digest) {
    EVP_MD_CTX* context = workspace().context.get();
    unsigned int written = 0;
    Sha256Digest result{};
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context, data, length) != 1 ||
        EVP_DigestFinal_ex(context, result.data(), &written) != 1 || written != result.size()) {
        return false;
    }
    digest = result;
    return true;
}

namespace {

// Per worker thread: the system's user database is a file that each lookup would read and parse
// anew, and a tree's files belong to a handful of users.
const std::string& owner_name(uid_t owner) {
    thread_local std::unordered_map<uid_t, std::string> names;
    const auto known = names.find(owner);
    if (known != names.end()) return known->second;
    std::string name;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> text(4096);
    int status = 0;
    while ((status = ::getpwuid_r(owner, &entry, text.data(), text.size(), &found)) == ERANGE &&
           text.size() < (std::size_t{1} << 20)) {
        text.resize(text.size() * 2);
    }
    if (status == 0 && found != nullptr) name = found->pw_name;
    return names.emplace(owner, std::move(name)).first->second;
}

bool read_open_whole_file(const FileDescriptor& file, WholeFile& content, FileStamp* stamp,
                          ReadError* error) {
    const auto fail = [error](ReadFailure failure, int system = 0) {
        set_error(error, failure, system);
        return false;
    };
    content.kept = false;
    content.size = 0;
    struct stat info {};
    if (!readable_status(file, info, error)) return false;
    const auto expected = static_cast<std::uint64_t>(info.st_size);
    if (expected <= content.limit) {
        // Room for one byte more than the size, so that a file that grew meanwhile is noticed.
        const auto room = static_cast<std::size_t>(expected) + 1;
        if (content.bytes.size() < room) content.bytes.resize(room);
        ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        std::size_t total = 0;
        for (;;) {
            const std::size_t want = std::min(room - total, kReadBufferSize);
            const ssize_t got = ::read(file.get(), content.bytes.data() + total, want);
            if (got < 0) {
                if (errno == EINTR) continue;
                return fail(ReadFailure::kRead, errno);
            }
            if (got == 0) break;
            total += static_cast<std::size_t>(got);
            if (total > expected) return fail(ReadFailure::kChanged);
        }
        if (total != expected) return fail(ReadFailure::kChanged);
        content.size = total;
        content.kept = true;
        content.owner = owner_name(info.st_uid);
    }
    if (stamp != nullptr) stamp_of_status(info, *stamp);
    return true;
}

}  // namespace

bool read_whole_file(const std::filesystem::path& path, WholeFile& content, FileStamp* stamp,
                     ReadError* error) {
    return read_opened(::open(path.c_str(), kOpenFlags), error, [&](const FileDescriptor& file) {
        return read_open_whole_file(file, content, stamp, error);
    });
}

bool read_whole_file_in(const FolderReader& folder, const FolderReader::Char* name,
                        const std::filesystem::path& path, WholeFile& content, FileStamp* stamp,
                        ReadError* error) {
    return read_opened(open_entry(folder, name, path), error, [&](const FileDescriptor& file) {
        return read_open_whole_file(file, content, stamp, error);
    });
}

}  // namespace platform
