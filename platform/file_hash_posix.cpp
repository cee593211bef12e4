#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>

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

// Digests the file behind an open descriptor (see sha256_file).
bool sha256_open_file(const FileDescriptor& file, Sha256Digest& digest, ByteHistogram* histogram,
                      FileStamp* stamp, ReadError* error) {
    const auto fail = [error](ReadFailure failure, int system = 0) {
        set_error(error, failure, system);
        return false;
    };
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return fail(ReadFailure::kOpen, errno);
    if (!S_ISREG(info.st_mode) || info.st_size < 0) return fail(ReadFailure::kNotRegularFile);
    if (is_on_pseudo_file_system(file.get())) return fail(ReadFailure::kPseudoFile);
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

}  // namespace

bool sha256_file(const std::filesystem::path& path, Sha256Digest& digest, ByteHistogram* histogram,
                 FileStamp* stamp, ReadError* error) {
    FileDescriptor file(::open(path.c_str(), kOpenFlags));
    if (file.get() < 0) {
        set_error(error, ReadFailure::kOpen, errno);
        return false;
    }
    return sha256_open_file(file, digest, histogram, stamp, error);
}

bool sha256_file_in(const FolderReader& folder, const FolderReader::Char* name,
                    const std::filesystem::path& path, Sha256Digest& digest,
                    ByteHistogram* histogram, FileStamp* stamp, ReadError* error) {
    if (folder.descriptor() < 0) return sha256_file(path, digest, histogram, stamp, error);
    FileDescriptor file(::openat(folder.descriptor(), name, kOpenFlags));
    if (file.get() < 0) {
        set_error(error, ReadFailure::kOpen, errno);
        return false;
    }
    return sha256_open_file(file, digest, histogram, stamp, error);
}

}  // namespace platform
