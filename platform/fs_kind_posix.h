// Linux-only helpers shared by the platform files that open files for reading.
#pragma once

namespace platform {

// True when the open descriptor lives on a pseudo file system (proc, sysfs and their kind): such a
// "file" may claim any size, block, or never end, so it is never read.
bool is_on_pseudo_file_system(int fd);

}  // namespace platform
