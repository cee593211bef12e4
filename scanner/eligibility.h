// Which entries of a walked folder tree a scan looks at: files in tool and build folders and text
// files are passed over; marked folders are not gone into at all.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/scan_config.h"

enum class Eligibility {
    kScan,   // a regular file that passes every filter
    kSkip,   // nothing to do with the entry itself (a folder is still gone into)
    kPrune,  // nothing to do with the entry, nor with anything below it
};

// Folder markers ("/.git/", ...) with this system's separator, lower case.
const std::vector<std::string>& skipped_folder_markers();

// Extensions of files never scanned, lower case with their dot.
const std::vector<std::string>& skipped_extensions();

// The narrow text of a path; throws std::filesystem::filesystem_error when a character cannot be
// represented.
std::string narrow_or_throw(const std::filesystem::path& path);

// Lower-cases the ASCII letters only, whatever the locale.
std::string lower_ascii(std::string text);

// The same in place, for the characters from `start` on.
void lower_ascii_from(std::string& text, std::size_t start);

// The path's extension by the standard rule, narrow and lower case; empty when it has none or it
// cannot be represented.
std::string lower_extension(const std::filesystem::path& path);

// True when the scan never looks at the entry with this path text (narrow, lower case) nor at
// anything below it: it lies in a marked folder, or a system folder when those are skipped.
bool is_pruned_path(std::string_view lower_path, const ScanConfig& config);

// The same for a path text whose first `known_length` characters are known not to be pruned (an
// entry of a folder that the walk went into): only matches that reach past them are looked for.
bool is_pruned_below(std::string_view lower_path, std::size_t known_length,
                     const ScanConfig& config);

// True when a file with this path (or name) is passed over for its extension.
bool has_skipped_extension(std::basic_string_view<std::filesystem::path::value_type> path);

// Decides what the walk does with one entry. Throws when the entry's path has no narrow form. An
// entry whose kind cannot be read (a link loop, a target without access) is skipped.
Eligibility check_eligibility(const std::filesystem::directory_entry& entry,
                              const ScanConfig& config);
