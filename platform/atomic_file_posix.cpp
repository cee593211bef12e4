#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/atomic_file.h"

namespace platform {

bool sync_and_replace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || std::rename(temporary.c_str(), target.c_str()) != 0) return false;
    // Make the new directory entry durable too; a failure here does not undo the rename.
    auto folder = target.parent_path();
    if (folder.empty()) folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace platform
