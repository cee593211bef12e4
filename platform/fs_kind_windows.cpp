#include <windows.h>

#include "platform/fs_kind.h"

namespace platform {

bool is_pseudo_file_system(const std::filesystem::path&) { return false; }

// The directory listing does not report reparse points as links (under Wine a Linux symbolic link
// to a folder looks like a plain folder), so the attribute is read from the entry itself.
bool is_link(const std::filesystem::directory_entry& entry) {
    const DWORD attributes = ::GetFileAttributesW(entry.path().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

const std::vector<std::string>& system_folder_markers() {
    static const std::vector<std::string> markers = {"\\windows\\", "\\program files"};
    return markers;
}

}  // namespace platform
