#include "maintenance/temp_cleaning.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "console/console.h"
#include "console/logger.h"
#include "platform/console.h"

namespace {

struct Item {
    const platform::TempFolder* folder;
    std::filesystem::path name;
};

// Opens each folder that exists and lists its entries, in folder order. A folder that is missing,
// is not a folder or cannot be listed is passed over; entries listed before a failure stay.
std::vector<Item> list_items(const std::vector<std::filesystem::path>& folder_paths,
                             std::vector<std::unique_ptr<platform::TempFolder>>& folders) {
    std::vector<Item> items;
    for (const auto& path : folder_paths) {
        auto folder = std::make_unique<platform::TempFolder>(path);
        if (!folder->is_open()) continue;
        std::vector<std::filesystem::path> names;
        folder->list(names);
        for (auto& name : names) items.push_back({folder.get(), std::move(name)});
        folders.push_back(std::move(folder));
    }
    return items;
}

void print_summary(std::uint64_t removed, std::uint64_t skipped) {
    platform::set_text_attribute(kLightGreen);
    std::cout << "[INFO] Cleaning complete. Removed ";
    platform::set_text_attribute(kDefault);
    std::cout << removed << " items.";
    if (skipped > 0) {
        platform::set_text_attribute(kYellow);
        std::cout << " Skipped ";
        platform::set_text_attribute(kDefault);
        std::cout << skipped << " items that could not be deleted.";
    }
    std::cout << '\n' << std::flush;
}

}  // namespace

int run_with_spinner(const std::string& label, const std::string& command_line) {
    // The task calls std::system itself and touches no stream: only this thread writes to
    // std::cout, which the first spinner drawing has flushed so the child's output lands after
    // ours.
    return wait_with_spinner(label, [command_line] { return std::system(command_line.c_str()); });
}

void clean_temp_and_cache(Logger& logger, const TempCleanOptions& options) {
    const auto& texts = platform::kComponentCleanupTexts;
    print_colored("\n[INFO] Starting system cleaning...", kLightCyan);
    logger.log(texts.log_start);
    if (run_with_spinner(texts.spinner_label, options.component_cleanup_command) != 0) {
        print_status(texts.failure);
        logger.log(texts.log_failure);
    } else {
        print_status(texts.success);
        logger.log(texts.log_success);
    }

    print_colored("[INFO] Enumerating temporary files...", kLightCyan);
    std::vector<std::unique_ptr<platform::TempFolder>> folders;
    const std::vector<Item> items = list_items(options.folders, folders);

    std::uint64_t removed = 0;
    std::uint64_t skipped = 0;
    if (items.empty()) {
        print_colored("[INFO] No temporary files found.", kLightGreen);
    } else {
        ProgressIndicator bar;
        bar.mode = 0;
        bar.label = "Cleaning Temp & Cache";
        bar.total = items.size();
        draw_progress(bar);
        const platform::EntryAgeRule rule{options.min_entry_age, options.clock()};
        for (const auto& item : items) {
            switch (item.folder->remove(item.name, rule)) {
                case platform::EntryRemoval::kRemoved:
                    ++removed;
                    break;
                case platform::EntryRemoval::kFailed:
                    ++skipped;
                    break;
                case platform::EntryRemoval::kInUse:
                    break;
            }
            bar.current = std::min(bar.current + 1, bar.total);
            draw_progress(bar);
        }
        print_status("[SUCCESS] Temp files cleanup finished.");
    }
    folders.clear();

    logger.log("Flushing DNS cache");
    run_with_spinner("Flushing DNS Cache", options.dns_flush_command);
    print_status("[SUCCESS] DNS cache flushed.");
    logger.log("DNS cache flushed");

    print_summary(removed, skipped);
    logger.log("Temp/cache cleaning summary: removed " + std::to_string(removed) + ", skipped " +
               std::to_string(skipped));
}
