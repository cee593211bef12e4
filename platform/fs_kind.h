// What the scan's walk needs to know about a folder before it goes into it, and which folders
// count as the system's own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// True when the folder belongs to a pseudo file system (process, kernel or device views such as
// proc or sysfs) whose entries are not files on a disk: reading them can block, never end or
// change the system, so the walk never enters one.
bool is_pseudo_file_system(const std::filesystem::path& folder);

// Lower-case path substrings that mark the operating system's own folders, with this system's
// separator.
const std::vector<std::string>& system_folder_markers();

}  // namespace platform
