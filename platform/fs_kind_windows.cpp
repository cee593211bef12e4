#include "platform/fs_kind.h"

namespace platform {

bool is_pseudo_file_system(const std::filesystem::path&) { return false; }

const std::vector<std::string>& system_folder_markers() {
    static const std::vector<std::string> markers = {"\\windows\\", "\\program files"};
    return markers;
}

}  // namespace platform
