// The recursive walk of one scan root: every eligible file is handed on, folder before contents.
#pragma once

#include <filesystem>
#include <functional>

#include "scanner/scan_config.h"

// Walks `root` depth first and calls `on_file` for every entry the eligibility rule scans. Never
// goes into links, junctions or pseudo file systems, nor into folders the rule prunes. Folders that
// cannot be listed (no access, removed meanwhile) are passed over. Throws when the root cannot be
// listed or an entry's path has no narrow form.
void walk_tree(const std::filesystem::path& root, const ScanConfig& config,
               const std::function<void(const std::filesystem::path&)>& on_file);
