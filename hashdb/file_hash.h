// SHA-256 of a file's content in the 64-character lowercase hex form the database and cache use.
#pragma once

#include <filesystem>
#include <string>

#include "platform/file_hash.h"
#include "platform/folder_reader.h"

// The digest text of empty input: an empty file is never taken for a listed one.
inline constexpr const char kEmptyInputSha256[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Where a file is: its whole path and, when a walk holds its folder open, that folder and the
// file's name in it, through which it is opened (see platform::sha256_file_in).
struct FileLocation {
    FileLocation(const std::filesystem::path& path) : path(path) {}  // NOLINT: a path is a location
    FileLocation(const std::filesystem::path& path, const platform::FolderReader* folder,
                 const platform::FolderReader::Char* name)
        : path(path), folder(folder), name(name) {}

    const std::filesystem::path& path;
    const platform::FolderReader* folder = nullptr;
    const platform::FolderReader::Char* name = nullptr;
};

// True and the digest text in hex_out when the file is a regular file that could be read to the
// end. On any failure returns false, leaves hex_out untouched and, when `error` is given, puts the
// reason there in words. When `stamp` is given, it receives the file's size and last-write time as
// they were when it was opened for hashing.
bool compute_file_hash(const FileLocation& file, std::string& hex_out,
                       platform::FileStamp* stamp = nullptr, std::string* error = nullptr);

// The same, and the byte-value histogram of the very bytes that were digested (for the entropy
// test), so an executable is read once for both.
bool compute_file_hash(const FileLocation& file, std::string& hex_out,
                       platform::ByteHistogram& histogram, platform::FileStamp* stamp = nullptr,
                       std::string* error = nullptr);

// Reads the file whole into `content` when it is no larger than the content's limit (see
// platform::read_whole_file): true also for a larger file, which is then not read (content.kept
// is false). On failure false, and the reason in words in `error` when given.
bool read_whole_content(const FileLocation& file, platform::WholeFile& content,
                        platform::FileStamp* stamp = nullptr, std::string* error = nullptr);

// The digest text of bytes in memory; false when the digest fails.
bool compute_bytes_hash(const unsigned char* data, std::size_t length, std::string& hex_out);

// A read failure in words, e.g. "cannot open: Permission denied".
std::string describe_read_error(const platform::ReadError& error);
