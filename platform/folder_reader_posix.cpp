#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/file_info_posix.h"
#include "platform/folder_reader.h"
#include "platform/fs_kind_posix.h"

namespace platform {

struct FolderReader::State {
    DIR* listing = nullptr;
    int fd = -1;
};

namespace {

EntryKind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::kFile;
    if (S_ISDIR(mode)) return EntryKind::kFolder;
    if (S_ISLNK(mode)) return EntryKind::kLink;
    return EntryKind::kOther;
}

EntryKind kind_of_listing(unsigned char type) {
    switch (type) {
        case DT_REG:
            return EntryKind::kFile;
        case DT_DIR:
            return EntryKind::kFolder;
        case DT_LNK:
            return EntryKind::kLink;
        case DT_UNKNOWN:
            return EntryKind::kUnknown;
        default:
            return EntryKind::kOther;
    }
}

std::error_code last_error() { return {errno, std::generic_category()}; }

}  // namespace

namespace {

// Non-blocking, so that a FIFO swapped in for the folder cannot hold the walk (O_DIRECTORY
// refuses it anyway, after the open).
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

}  // namespace

FolderReader::FolderReader(const std::filesystem::path& folder)
    : FolderReader(nullptr, folder.c_str(), folder) {}

FolderReader::FolderReader(const FolderReader& parent, const Char* name,
                           const std::filesystem::path& path)
    : FolderReader(&parent, name, path) {}

FolderReader::FolderReader(const FolderReader* parent, const Char* name,
                           const std::filesystem::path&)
    : state(std::make_unique<State>()) {
    const int fd = parent == nullptr ? ::open(name, kFolderFlags)
                                     : ::openat(parent->state->fd, name, kFolderFlags | O_NOFOLLOW);
    if (fd < 0) {
        failure = last_error();
        return;
    }
    state->listing = ::fdopendir(fd);
    if (state->listing == nullptr) {
        failure = last_error();
        ::close(fd);
        return;
    }
    state->fd = fd;
}

FolderReader::~FolderReader() {
    if (state->listing != nullptr) ::closedir(state->listing);
}

bool FolderReader::next(Text& name, EntryKind& kind) {
    if (state->listing == nullptr) return false;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(state->listing);
        if (entry == nullptr) {
            if (errno != 0) failure = last_error();
            return false;
        }
        const char* text = entry->d_name;
        if (text[0] == '.' && (text[1] == '\0' || (text[1] == '.' && text[2] == '\0'))) continue;
        name.assign(text);
        kind = kind_of_listing(entry->d_type);
        return true;
    }
}

EntryKind FolderReader::kind_of(const Char* name, bool follow_links) const {
    struct stat info {};
    if (state->fd < 0 ||
        ::fstatat(state->fd, name, &info, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return EntryKind::kOther;
    }
    return kind_of_mode(info.st_mode);
}

bool FolderReader::query_stamp(const Char* name, FileStamp& stamp) const {
    struct stat info {};
    return state->fd >= 0 && ::fstatat(state->fd, name, &info, 0) == 0 &&
           stamp_of_status(info, stamp);
}

bool FolderReader::on_pseudo_file_system() const {
    return state->fd >= 0 && is_on_pseudo_file_system(state->fd);
}

int FolderReader::descriptor() const { return state->fd; }

std::size_t FolderReader::longest_path_by_name() { return PATH_MAX - 1; }

}  // namespace platform
