#include "platform/memory.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

std::filesystem::path default_page_reference_file() { return "/proc/self/clear_refs"; }

// malloc_trim reports only whether it released anything, which is not a failure either way.
bool trim_working_set() {
    malloc_trim(0);
    return true;
}

bool reset_working_set(const std::filesystem::path& page_reference_file) {
    const int fd = open(page_reference_file.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool written = write(fd, "1", 1) == 1;
    const bool closed = close(fd) == 0;
    return written && closed;
}

void prefer_large_pages(void* data, std::size_t size) {
    // Only whole large pages inside the range can be granted.
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (start + size) & ~(kLargePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace platform
