#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/file_bytes.h"
#include "platform/fs_kind_posix.h"

namespace platform {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 17;

}  // namespace

bool count_file_bytes(const std::filesystem::path& file, ByteHistogram& histogram) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait; fstat then rejects it.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || is_on_pseudo_file_system(fd)) {
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadSize]);
    // Never past the size fstat reported: a file that keeps growing must not be read forever.
    auto remaining = static_cast<std::uint64_t>(info.st_size);
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kReadSize));
        const ssize_t got = ::read(fd, buffer.get(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        add_to_histogram(buffer.get(), static_cast<std::size_t>(got), histogram);
        remaining -= static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    return true;
}

}  // namespace platform
