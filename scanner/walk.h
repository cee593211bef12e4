// The recursive walk of one scan root: every eligible file is handed on, folder before contents.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/folder_reader.h"
#include "scanner/scan_config.h"

// A file the walk hands on: its path as `folder / name` spells it, and the open folder that holds
// it, through which its status can be read without resolving the whole path again. Valid during
// the call only: keep a copy of the text, and of `folder` to keep the folder open.
struct WalkedFile {
    const std::filesystem::path::string_type& path;
    std::size_t name_offset;  // where the file's name begins in `path`
    const std::shared_ptr<platform::FolderReader>& folder;
};

using FileHandler = std::function<void(const WalkedFile&)>;

// Hears of a folder below the root that could not be listed, or whose listing failed part-way.
using FolderErrorHandler = std::function<void(const std::filesystem::filesystem_error&)>;

// Walks `root` depth first and calls `on_file` for every entry the eligibility rule scans. Never
// goes into links, junctions or pseudo file systems, nor into folders the rule prunes. A folder
// that cannot be listed is passed over and the walk goes on with the rest: silently when it is
// gone meanwhile, through `on_folder_error` (if set) for any other cause, access denied included.
// Throws when the root cannot be listed.
void walk_tree(const std::filesystem::path& root, const ScanConfig& config,
               const FileHandler& on_file, const FolderErrorHandler& on_folder_error = {});
