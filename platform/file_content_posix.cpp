#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/file_content.h"

namespace platform {

// Files are only ever replaced by renaming a complete new one over them, which leaves a mapping of
// the old one intact; a file cut short in place by another program would make reading the lost
// pages fail.
bool FileContent::load(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return false;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* mapped = nullptr;
    if (size > 0) {
        // Populated at once: every page is read soon after a load, and one call maps them all.
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    }
    ::close(fd);
    if (mapped == MAP_FAILED) return false;
    release();
    bytes = static_cast<unsigned char*>(mapped);
    length = size;
    return true;
}

void FileContent::release() {
    if (copied) {
        delete[] bytes;
    } else if (bytes != nullptr) {
        ::munmap(bytes, length);
    }
    bytes = nullptr;
    length = 0;
    copied = false;
}

}  // namespace platform
