// Linux-only helper shared by the platform files that read a file's stamp.
#pragma once

#include <sys/stat.h>

#include "platform/file_info.h"

namespace platform {

// The stamp of a status read; false, with `stamp` untouched, when it is not a regular file's.
inline bool stamp_of_status(const struct stat& info, FileStamp& stamp) {
    if (!S_ISREG(info.st_mode)) return false;
    stamp.size = static_cast<std::int64_t>(info.st_size);
    stamp.last_write_time = write_time_from_unix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    stamp.identity = FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                                  static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

}  // namespace platform
