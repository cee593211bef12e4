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

// The component or package store clean-up; true when the command reported success. `run` runs
// the command line and returns its status.
template <class Run>
bool clean_component_store(Logger& logger, const std::string& command, Run run) {
    const auto& texts = platform::kComponentCleanupTexts;
    logger.log(texts.log_start);
    const bool ok = run(command) == 0;
    logger.log(ok ? texts.log_success : texts.log_failure);
    return ok;
}

template <class Run>
void flush_dns_cache(Logger& logger, const std::string& command, Run run) {
    logger.log("Flushing DNS cache");
    run(command);
    logger.log("DNS cache flushed");
}

void log_summary(Logger& logger, std::uint64_t removed, std::uint64_t skipped) {
    logger.log("Temp/cache cleaning summary: removed " + std::to_string(removed) + ", skipped " +
               std::to_string(skipped));
}

int run_quietly(const std::string& command_line) { return std::system(command_line.c_str()); }

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
    const bool cleaned = clean_component_store(
        logger, options.component_cleanup_command, [&texts](const std::string& command) {
            return run_with_spinner(texts.spinner_label, command);
        });
    print_status(cleaned ? texts.success : texts.failure);

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
                case platform::EntryRemoval::kWouldRemove:
                    break;
            }
            bar.current = std::min(bar.current + 1, bar.total);
            draw_progress(bar);
        }
        print_status("[SUCCESS] Temp files cleanup finished.");
    }
    folders.clear();

    flush_dns_cache(logger, options.dns_flush_command, [](const std::string& command) {
        return run_with_spinner("Flushing DNS Cache", command);
    });
    print_status("[SUCCESS] DNS cache flushed.");

    print_summary(removed, skipped);
    log_summary(logger, removed, skipped);
}

TempCleanOutcome clean_temp_unattended(Logger& logger, const TempCleanOptions& options,
                                       bool dry_run) {
    TempCleanOutcome outcome;
    if (!dry_run) {
        outcome.component_cleanup_ok =
            clean_component_store(logger, options.component_cleanup_command, run_quietly);
    }
    std::vector<std::unique_ptr<platform::TempFolder>> folders;
    const std::vector<Item> items = list_items(options.folders, folders);
    const platform::EntryAgeRule rule{options.min_entry_age, options.clock()};
    for (const auto& item : items) {
        const auto path = item.folder->path() / item.name;
        switch (item.folder->remove(item.name, rule, dry_run)) {
            case platform::EntryRemoval::kRemoved:
                outcome.removed.push_back(path);
                break;
            case platform::EntryRemoval::kWouldRemove:
                outcome.removable.push_back(path);
                break;
            case platform::EntryRemoval::kFailed:
                outcome.failed.push_back(path);
                break;
            case platform::EntryRemoval::kInUse:
                ++outcome.in_use;
                break;
        }
    }
    folders.clear();
    if (!dry_run) {
        flush_dns_cache(logger, options.dns_flush_command, run_quietly);
        log_summary(logger, outcome.removed.size(), outcome.failed.size());
    }
    return outcome;
}
