#include <sys/stat.h>

#include "platform/file_info.h"

namespace platform {

bool query_file_stamp(const std::filesystem::path& path, FileStamp& stamp) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    stamp.size = static_cast<std::int64_t>(info.st_size);
    stamp.last_write_time = write_time_from_unix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    return true;
}

std::string narrow_path_key(const std::filesystem::path& path) { return path.native(); }

void assign_narrow_path_key(std::basic_string_view<std::filesystem::path::value_type> native,
                            std::string& key) {
    key.assign(native);
}

bool narrow_path(const std::filesystem::path& path, std::string& out) {
    out = path.native();
    return true;
}

}  // namespace platform
