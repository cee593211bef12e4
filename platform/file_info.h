// File attributes and path texts as the hash cache and the result lists store them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// Size and last-write time (100-ns units since 1601-01-01 UTC, the same on every system) of a
// regular file, following symbolic links. False when it cannot be queried or is not a regular file.
bool query_file_stamp(const std::filesystem::path& path, std::int64_t& size,
                      std::uint64_t& last_write_time);

// The hash cache key of a path: its own bytes on Linux; on Windows the low 8 bits of each UTF-16
// unit.
std::string narrow_path_key(const std::filesystem::path& path);

// The narrow text of a path as lists, logs and reports show it: its own bytes on Linux, the ANSI
// code page on Windows. False when a character cannot be represented.
bool narrow_path(const std::filesystem::path& path, std::string& out);

}  // namespace platform
