#include <sys/stat.h>

#include "platform/file_info.h"

namespace platform {
namespace {

// Seconds from 1601-01-01 (the start of the stored time scale) to 1970-01-01.
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;

}  // namespace

bool query_file_stamp(const std::filesystem::path& path, std::int64_t& size,
                      std::uint64_t& last_write_time) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = static_cast<std::int64_t>(info.st_size);
    const std::int64_t seconds =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) + kEpochDifferenceSeconds;
    last_write_time = static_cast<std::uint64_t>(seconds) * 10000000u +
                      static_cast<std::uint64_t>(info.st_mtim.tv_nsec / 100);
    return true;
}

std::string narrow_path_key(const std::filesystem::path& path) { return path.native(); }

bool narrow_path(const std::filesystem::path& path, std::string& out) {
    out = path.native();
    return true;
}

}  // namespace platform
