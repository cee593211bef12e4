#include "scanner/walk.h"

#include <system_error>
#include <vector>

#include "platform/fs_kind.h"
#include "scanner/eligibility.h"

namespace {

constexpr auto kListing = std::filesystem::directory_options::skip_permission_denied;

// A real folder on a real file system: not a link to one, not a view of the kernel.
bool may_enter(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    if (entry.is_symlink(ec) || ec) return false;
    if (!entry.is_directory(ec) || ec) return false;
    return !platform::is_link(entry) && !platform::is_pseudo_file_system(entry.path());
}

}  // namespace

void walk_tree(const std::filesystem::path& root, const ScanConfig& config,
               const std::function<void(const std::filesystem::path&)>& on_file) {
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
        // A listing that fails part-way (the folder was removed meanwhile) ends that folder only.
        if (ec) listing = end;

        switch (check_eligibility(entry, config)) {
            case Eligibility::kScan:
                on_file(entry.path());
                break;
            case Eligibility::kPrune:
                break;
            case Eligibility::kSkip:
                if (may_enter(entry)) {
                    std::filesystem::directory_iterator below(entry.path(), kListing, ec);
                    if (!ec) open_folders.push_back(std::move(below));
                }
                break;
        }
    }
}
