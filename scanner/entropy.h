// How evenly a file's bytes spread over the 256 values, in bits per byte: packed, compressed or
// encrypted executables come close to 8.
#pragma once

#include <filesystem>

#include "platform/file_hash.h"

// An executable is suspicious when its entropy is strictly above this.
constexpr double ENTROPY_THRESHOLD = 7.2;

inline bool is_suspicious_entropy(double entropy) { return entropy > ENTROPY_THRESHOLD; }

// Shannon entropy of the counted bytes, 0.0 to 8.0; 0.0 when nothing was counted.
double entropy_of(const platform::ByteHistogram& histogram);

// Reads the whole file once. 0.0 when it cannot be opened, is not a regular file, or is empty.
double calculate_file_entropy(const std::filesystem::path& file);
