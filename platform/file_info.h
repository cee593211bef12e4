// File attributes and path texts as the hash cache and the result lists store them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Which file a status read found: device and inode (Linux), volume serial number and file index
// (Windows). Zero where the system did not say.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;

    bool operator==(const FileIdentity&) const = default;
};

// What tells one version of a file from another for the hash cache, and which file it was: a
// file replaced by another one of the same size and time is told apart by its identity.
struct FileStamp {
    FileStamp() = default;
    // Most callers know no identity; it then stays zero.
    constexpr FileStamp(std::int64_t size, std::uint64_t last_write_time,
                        FileIdentity identity = {})
        : size(size), last_write_time(last_write_time), identity(identity) {}

    std::int64_t size = 0;
    std::uint64_t last_write_time = 0;  // 100-ns units since 1601-01-01 UTC, on every system
    FileIdentity identity;

    bool operator==(const FileStamp&) const = default;
    // The same content as far as the stored caches can tell (they keep no identity).
    bool same_version(const FileStamp& other) const {
        return size == other.size && last_write_time == other.last_write_time;
    }
};

// The stamp of a regular file, following symbolic links. False, with `stamp` untouched, when it
// cannot be queried or is not a regular file.
bool query_file_stamp(const std::filesystem::path& path, FileStamp& stamp);

inline bool query_file_stamp(const std::filesystem::path& path, std::int64_t& size,
                             std::uint64_t& last_write_time) {
    FileStamp stamp;
    if (!query_file_stamp(path, stamp)) return false;
    size = stamp.size;
    last_write_time = stamp.last_write_time;
    return true;
}

// A time given as seconds and nanoseconds since 1970-01-01 UTC, on the stamp's scale.
constexpr std::uint64_t write_time_from_unix(std::int64_t seconds, std::int64_t nanoseconds) {
    // Seconds from 1601-01-01 to 1970-01-01.
    constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;
    return static_cast<std::uint64_t>(seconds + kEpochDifferenceSeconds) * 10000000u +
           static_cast<std::uint64_t>(nanoseconds / 100);
}

// The hash cache key of a path: its own bytes on Linux; on Windows the low 8 bits of each UTF-16
// unit.
std::string narrow_path_key(const std::filesystem::path& path);

// The same key for a path given by its text, into a buffer the caller reuses.
void assign_narrow_path_key(std::basic_string_view<std::filesystem::path::value_type> native,
                            std::string& key);

// The narrow text of a path as lists, logs and reports show it: its own bytes on Linux, the ANSI
// code page on Windows. False when a character cannot be represented.
bool narrow_path(const std::filesystem::path& path, std::string& out);

// The same, with '?' for every character the narrow form cannot hold; never fails.
std::string display_narrow(const std::filesystem::path& path);

}  // namespace platform
