// Counting the byte values of a file, for the entropy test of files whose hash came from the cache.
#pragma once

#include <filesystem>

#include "platform/file_hash.h"

namespace platform {

// Adds the value of every byte of a regular file to `histogram`. Nothing but a regular file is
// opened for reading (a FIFO or device never blocks the caller). False when the file cannot be
// opened or is not a regular file; a read error part-way ends the count with what was read so far.
bool count_file_bytes(const std::filesystem::path& file, ByteHistogram& histogram);

}  // namespace platform
