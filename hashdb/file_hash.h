// SHA-256 of a file's content in the 64-character lowercase hex form the database and cache use.
#pragma once

#include <filesystem>
#include <string>

#include "platform/file_hash.h"

// True and the digest text in hex_out when the file is a non-empty regular file that could be read
// to the end. On any failure returns false and leaves hex_out untouched. When `stamp` is given, it
// receives the file's size and last-write time as they were when it was opened for hashing.
bool compute_file_hash(const std::filesystem::path& path, std::string& hex_out,
                       platform::FileStamp* stamp = nullptr);

// The same, and the byte-value histogram of the very bytes that were digested (for the entropy
// test), so an executable is read once for both.
bool compute_file_hash(const std::filesystem::path& path, std::string& hex_out,
                       platform::ByteHistogram& histogram, platform::FileStamp* stamp = nullptr);
