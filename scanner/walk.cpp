#include "scanner/walk.h"

#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "platform/file_info.h"
#include "platform/fs_kind.h"
#include "scanner/eligibility.h"

namespace {

using Text = std::filesystem::path::string_type;

// A folder removed while the walk runs is simply no longer there; anything else (no access, no
// descriptors left, an I/O error) hides files from the scan and is worth telling.
bool worth_reporting(const std::error_code& ec) {
    return ec != std::errc::no_such_file_or_directory;
}

// The text every entry of the folder begins with, spelt as `folder / name` spells it.
Text entry_prefix(const std::filesystem::path& folder) {
    Text prefix = (folder / "x").native();
    prefix.pop_back();
    return prefix;
}

// Appends a name's narrow text in lower case. A character the narrow form cannot hold becomes '?',
// which no marker contains: such a name is filtered like any other and never ends the walk. A
// template, so that only the branch for this system's path characters is compiled.
template <class Name>
void append_lower(std::string& lower, const Name& name) {
    const std::size_t start = lower.size();
    if constexpr (std::is_same_v<Name, std::string>) {
        lower += name;
    } else {
        lower += platform::display_narrow(std::filesystem::path(name));
    }
    lower_ascii_from(lower, start);
}

struct OpenFolder {
    std::filesystem::path folder;
    std::shared_ptr<platform::FolderReader> reader;
    std::size_t path_length;   // of the entries' common beginning in the walk's path text
    std::size_t lower_length;  // the same in its lower-case narrow form
};

}  // namespace

void walk_tree(const std::filesystem::path& root, const ScanConfig& config,
               const FileHandler& on_file, const FolderErrorHandler& on_folder_error) {
    const auto report = [&](const std::filesystem::path& folder, const std::error_code& ec) {
        if (on_folder_error && worth_reporting(ec)) {
            on_folder_error(std::filesystem::filesystem_error("directory iteration", folder, ec));
        }
    };
    if (platform::is_pseudo_file_system(root)) return;
    auto top = std::make_shared<platform::FolderReader>(root);
    if (const std::error_code ec = top->error()) {
        throw std::filesystem::filesystem_error("directory iterator cannot open directory", root,
                                                ec);
    }

    // The path of the entry at hand, and its lower-case narrow text that the filters read; both
    // are cut back to the folder's part before each entry, so no entry costs a path object.
    Text path = entry_prefix(root);
    std::string lower;
    append_lower(lower, path);
    // A root inside a marked folder: everything below it would be pruned.
    if (is_pruned_path(lower, config)) return;
    // One open folder per level below the root; the last one is the folder being read now.
    std::vector<OpenFolder> open_folders;
    open_folders.push_back(OpenFolder{root, std::move(top), path.size(), lower.size()});
    Text name;
    platform::EntryKind kind = platform::EntryKind::kUnknown;
    while (!open_folders.empty()) {
        OpenFolder& current = open_folders.back();
        path.resize(current.path_length);
        lower.resize(current.lower_length);
        if (!current.reader->next(name, kind)) {
            // A listing that fails part-way ends that folder only.
            if (current.reader->error()) report(current.folder, current.reader->error());
            open_folders.pop_back();
            continue;
        }
        path += name;
        append_lower(lower, name);
        if (is_pruned_below(lower, current.lower_length, config)) continue;

        // A link to a file is scanned as that file; a link to a folder is never gone into.
        using platform::EntryKind;
        if (kind == EntryKind::kUnknown) kind = current.reader->kind_of(name.c_str(), false);
        if (kind == EntryKind::kLink) {
            if (current.reader->kind_of(name.c_str(), true) != EntryKind::kFile) continue;
            kind = EntryKind::kFile;
        }
        if (kind == EntryKind::kFile) {
            if (config.all_files || !has_skipped_extension(name)) {
                on_file(WalkedFile{path, current.path_length, current.reader});
            }
            continue;
        }
        if (kind != EntryKind::kFolder) continue;

        // Every entry of a folder whose own text with the separator is pruned would be pruned
        // too: it is not listed at all.
        lower += static_cast<char>(std::filesystem::path::preferred_separator);
        if (is_pruned_below(lower, lower.size() - 1, config)) continue;
        std::filesystem::path folder(path);
        auto below =
            std::make_shared<platform::FolderReader>(*current.reader, name.c_str(), folder);
        if (below->error()) {
            report(folder, below->error());
            continue;
        }
        if (below->on_pseudo_file_system()) continue;
        path += std::filesystem::path::preferred_separator;
        open_folders.push_back(
            OpenFolder{std::move(folder), std::move(below), path.size(), lower.size()});
    }
}
