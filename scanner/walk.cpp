#include "scanner/walk.h"

#include <system_error>
#include <vector>

#include "platform/fs_kind.h"
#include "scanner/eligibility.h"

namespace {

constexpr auto kListing = std::filesystem::directory_options::skip_permission_denied;

// A real folder on a real file system: not a link to one, not a view of the kernel. `ec` says why
// the entry's kind could not be read where the listing did not tell it (on Windows, or on file
// systems that leave the kind out of the listing).
bool may_enter(const std::filesystem::directory_entry& entry, std::error_code& ec) {
    if (entry.is_symlink(ec) || ec) return false;
    if (!entry.is_directory(ec) || ec) return false;
    return !platform::is_link(entry) && !platform::is_pseudo_file_system(entry.path());
}

// A folder the user may not read is an expected sight on any system, and one removed while the
// walk runs is simply no longer there; anything else (no descriptors left, a name too long, an I/O
// error) hides files from the scan and is worth telling.
bool worth_reporting(const std::error_code& ec) {
    return ec != std::errc::permission_denied && ec != std::errc::operation_not_permitted &&
           ec != std::errc::no_such_file_or_directory;
}

}  // namespace

void walk_tree(const std::filesystem::path& root, const ScanConfig& config,
               const std::function<void(const std::filesystem::path&)>& on_file,
               const FolderErrorHandler& on_folder_error) {
    const auto report = [&](const std::filesystem::path& folder, const std::error_code& ec) {
        if (on_folder_error && worth_reporting(ec)) {
            on_folder_error(std::filesystem::filesystem_error("directory iteration", folder, ec));
        }
    };
    if (platform::is_pseudo_file_system(root)) return;
    // One open listing per level below the root; the top one is the folder being read now.
    std::vector<std::filesystem::directory_iterator> open_folders;
    open_folders.emplace_back(root, kListing);
    const std::filesystem::directory_iterator end;
    while (!open_folders.empty()) {
        auto& listing = open_folders.back();
        if (listing == end) {
            open_folders.pop_back();
            continue;
        }
        const std::filesystem::directory_entry entry = *listing;
        std::error_code ec;
        listing.increment(ec);
        // A listing that fails part-way ends that folder only.
        if (ec) {
            listing = end;
            report(entry.path().parent_path(), ec);
        }

        switch (check_eligibility(entry, config)) {
            case Eligibility::kScan:
                on_file(entry.path());
                break;
            case Eligibility::kPrune:
                break;
            case Eligibility::kSkip:
                if (may_enter(entry, ec)) {
                    std::filesystem::directory_iterator below(entry.path(), kListing, ec);
                    if (!ec) open_folders.push_back(std::move(below));
                }
                if (ec) report(entry.path(), ec);
                break;
        }
    }
}
