#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/file_bytes.h"

namespace platform {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 17;

}  // namespace

bool count_file_bytes(const std::filesystem::path& file, ByteHistogram& histogram) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait; fstat then rejects it.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadSize]);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kReadSize);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        add_to_histogram(buffer.get(), static_cast<std::size_t>(got), histogram);
    }
    ::close(fd);
    return true;
}

}  // namespace platform
