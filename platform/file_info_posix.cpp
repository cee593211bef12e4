#include <sys/stat.h>

#include "platform/file_info.h"
#include "platform/file_info_posix.h"

namespace platform {

bool query_file_stamp(const std::filesystem::path& path, FileStamp& stamp) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && stamp_of_status(info, stamp);
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

std::string display_narrow(const std::filesystem::path& path) { return path.native(); }

}  // namespace platform
