// One open folder of a walk: lists its entries by name, without building a path object for each,
// and answers questions about an entry relative to the open folder, which spares the system
// resolving the entry's whole path again (on a tree answered from the hash cache, that resolution
// is most of the cost of a file).
#pragma once

#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/file_info.h"

namespace platform {

enum class EntryKind {
    kFile,     // a regular file
    kFolder,   // a real folder, not a link to one
    kLink,     // a symbolic link, junction or other reparse point, whatever it leads to
    kOther,    // a FIFO, socket, device...
    kUnknown,  // the listing did not say; ask `kind_of`
};

class FolderReader {
  public:
    using Char = std::filesystem::path::value_type;
    using Text = std::filesystem::path::string_type;

    // Opens the folder, following a link given as `folder` itself; `error()` says why it could
    // not be.
    explicit FolderReader(const std::filesystem::path& folder);
    // Opens the folder entry `name` of `parent`, which the walk spells `path`, relative to the
    // open parent where the system allows: a path longer than the system opens by name is still
    // reached. A link found there instead of a folder is not followed.
    FolderReader(const FolderReader& parent, const Char* name, const std::filesystem::path& path);
    ~FolderReader();
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;

    // Why the folder could not be opened, or why its listing stopped part-way.
    std::error_code error() const { return failure; }

    // The next entry other than "." and "..". False at the end of the listing and when it fails
    // (then `error()` is set). Only one thread may list.
    bool next(Text& name, EntryKind& kind);

    // The kind of the entry `name`, reading a link's target when `follow_links` is set; kOther
    // when it cannot be read. Any thread may ask, also while another lists.
    EntryKind kind_of(const Char* name, bool follow_links) const;

    // The stamp of the regular file `name`, following links; false, with `stamp` untouched, when
    // it cannot be read or is not a regular file. Any thread may ask, also while another lists.
    bool query_stamp(const Char* name, FileStamp& stamp) const;

    // True when the folder belongs to a pseudo file system (see is_pseudo_file_system).
    bool on_pseudo_file_system() const;

    // The open folder's descriptor, for opening its entries relative to it (Linux); -1 where
    // entries are opened by their whole path.
    int descriptor() const;

    // The longest path the system opens by name; an entry with a longer one can only be reached
    // relative to its open folder (where descriptor() is one).
    static std::size_t longest_path_by_name();

  private:
    FolderReader(const FolderReader* parent, const Char* name, const std::filesystem::path& path);

    struct State;
    std::unique_ptr<State> state;
    std::error_code failure;
};

}  // namespace platform
