// Reading a file's bytes into a SHA-256 digest with the system's cryptography (libcrypto on Linux,
// CryptoAPI on Windows).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_info.h"
#include "platform/folder_reader.h"

namespace platform {

struct ByteHistogram {
    std::array<std::uint64_t, 256> counts{};
    std::uint64_t total = 0;
};

// Adds `length` bytes at `data` to the histogram.
void add_to_histogram(const unsigned char* data, std::size_t length, ByteHistogram& histogram);

using Sha256Digest = std::array<unsigned char, 32>;

// Why a file could not be read to the end.
enum class ReadFailure {
    kNone,
    kOpen,            // the system refused to open it (see `system`)
    kNotRegularFile,  // a folder, FIFO, device, socket...
    kPseudoFile,      // on a process or kernel view such as proc or sysfs
    kChanged,         // it grew or shrank while it was read
    kRead,            // a read failed part-way (see `system`)
    kDigest,          // the cryptographic library failed
};

struct ReadError {
    ReadFailure failure = ReadFailure::kNone;
    std::error_code system;  // the system's reason, where it gave one
};

// Digests the whole content of a regular file (an empty one has the digest of empty input). False
// for a missing, unreadable or non-regular file (a FIFO or device is never opened for reading and
// never blocks), for a file that changes size while it is read, and for any failure of the digest;
// `error`, when given, then says which. When `histogram` is given, it receives the counts of the
// digested bytes. When `stamp` is given, it receives the file's size and last-write time as they
// were when the file was opened, before any byte was read: a change made while it is read leaves
// the file with a newer stamp than the one reported.
bool sha256_file(const std::filesystem::path& path, Sha256Digest& digest,
                 ByteHistogram* histogram = nullptr, FileStamp* stamp = nullptr,
                 ReadError* error = nullptr);

// The same for the entry `name` of an open folder, whose whole path is `path`: opened relative to
// the folder where the system allows, so that a path longer than the system opens by name is
// still read, and the system need not resolve the whole path again.
bool sha256_file_in(const FolderReader& folder, const FolderReader::Char* name,
                    const std::filesystem::path& path, Sha256Digest& digest,
                    ByteHistogram* histogram = nullptr, FileStamp* stamp = nullptr,
                    ReadError* error = nullptr);

// Digests bytes already in memory.
bool sha256_bytes(const unsigned char* data, std::size_t length, Sha256Digest& digest);

// A file's whole content in one piece, in a buffer that its owner (one worker) reuses from file to
// file: rule matching needs the content whole, and reading it into memory, unlike mapping it, can
// never kill the process when the file is cut short meanwhile.
struct WholeFile {
    std::uint64_t limit = 0;           // larger files are not read
    std::vector<unsigned char> bytes;  // grown as needed, never shrunk
    std::size_t size = 0;              // of the content read
    bool kept = false;                 // the first `size` bytes are the whole file
    std::string owner;                 // the owner's user name; empty where files have none
};

// Reads the whole content of a regular file into `content` when it is no larger than its limit;
// a larger one is not read at all (kept false, the call still succeeds). False for what
// sha256_file refuses: a missing, unreadable or non-regular file, one on a pseudo file system, and
// one that changes size while it is read. `stamp`, when given, is the file's stamp as it was when
// it was opened.
bool read_whole_file(const std::filesystem::path& path, WholeFile& content,
                     FileStamp* stamp = nullptr, ReadError* error = nullptr);

// The same for the entry `name` of an open folder, whose whole path is `path` (see
// sha256_file_in).
bool read_whole_file_in(const FolderReader& folder, const FolderReader::Char* name,
                        const std::filesystem::path& path, WholeFile& content,
                        FileStamp* stamp = nullptr, ReadError* error = nullptr);

}  // namespace platform
