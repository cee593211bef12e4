#include <windows.h>

#include "platform/folder_reader.h"

namespace platform {

// The listing already carries each entry's attributes; only links need a look at the entry itself:
// the listing does not report every reparse point as a link (under Wine a Linux symbolic link to a
// folder looks like a plain folder), so a folder's own attributes are read.
struct FolderReader::State {
    std::filesystem::path folder;
    std::filesystem::directory_iterator listing;
    bool started = false;
};

namespace {

bool is_reparse_point(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

EntryKind kind_of_status(const std::filesystem::file_status& status) {
    switch (status.type()) {
        case std::filesystem::file_type::regular:
            return EntryKind::kFile;
        case std::filesystem::file_type::directory:
            return EntryKind::kFolder;
        case std::filesystem::file_type::symlink:
            return EntryKind::kLink;
        default:
            return EntryKind::kOther;
    }
}

}  // namespace

FolderReader::FolderReader(const std::filesystem::path& folder)
    : FolderReader(nullptr, folder.c_str(), folder) {}

FolderReader::FolderReader(const FolderReader& parent, const Char* name,
                           const std::filesystem::path& path)
    : FolderReader(&parent, name, path) {}

FolderReader::FolderReader(const FolderReader*, const Char*, const std::filesystem::path& path)
    : state(std::make_unique<State>()) {
    state->folder = path;
    state->listing = std::filesystem::directory_iterator(path, failure);
}

FolderReader::~FolderReader() = default;

bool FolderReader::next(Text& name, EntryKind& kind) {
    if (failure) return false;
    const std::filesystem::directory_iterator end;
    if (state->started && state->listing != end) state->listing.increment(failure);
    state->started = true;
    if (failure || state->listing == end) return false;
    const std::filesystem::directory_entry& entry = *state->listing;
    name = entry.path().filename().native();
    std::error_code ec;
    kind = kind_of_status(entry.symlink_status(ec));
    if (ec) kind = EntryKind::kUnknown;
    if (kind == EntryKind::kFolder && is_reparse_point(entry.path())) kind = EntryKind::kLink;
    return true;
}

EntryKind FolderReader::kind_of(const Char* name, bool follow_links) const {
    const std::filesystem::path entry = state->folder / name;
    std::error_code ec;
    const auto status = follow_links ? std::filesystem::status(entry, ec)
                                     : std::filesystem::symlink_status(entry, ec);
    if (ec) return EntryKind::kOther;
    const EntryKind kind = kind_of_status(status);
    if (!follow_links && kind == EntryKind::kFolder && is_reparse_point(entry)) {
        return EntryKind::kLink;
    }
    return kind;
}

bool FolderReader::query_stamp(const Char* name, FileStamp& stamp) const {
    return query_file_stamp(state->folder / name, stamp);
}

bool FolderReader::on_pseudo_file_system() const { return false; }

int FolderReader::descriptor() const { return -1; }

std::size_t FolderReader::longest_path_by_name() { return SIZE_MAX; }

}  // namespace platform
