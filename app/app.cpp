#include "app/app.h"

#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <system_error>

#include "app/data_files.h"
#include "app/interactive_scan.h"
#include "app/menu.h"
#include "app/rule_loading.h"
#include "console/console.h"
#include "console/logger.h"
#include "hashdb/database_update.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"
#include "maintenance/memory_cleaning.h"
#include "maintenance/temp_cleaning.h"
#include "platform/atomic_file.h"
#include "platform/console.h"
#include "platform/locations.h"
#include "platform/process.h"
#include "report/autoruns.h"

namespace {

// A load's reason goes on a line of its own under the start-up line it explains.
constexpr const char* kReasonIndent = "       ";

void warn_if_not_elevated(std::istream& in) {
    if (platform::is_elevated()) return;
    print_banner();
    print_colored(platform::kNotElevatedWarning, kLightRed);
    std::cout << "Press Enter to continue anyway or restart as Admin...\n" << std::flush;
    in.get();
}

// Data files are looked up beside the executable, wherever the program was started from.
void move_to_executable_folder() {
    const auto exe = platform::executable_path();
    if (!exe) return;
    const auto folder = exe->parent_path();
    if (folder.empty()) return;
    std::error_code ignored;
    std::filesystem::current_path(folder, ignored);
}

void draw_main_menu() {
    platform::clear_screen();
    print_banner();
    std::cout << "\n";
    print_colored("  [1] Smart Scan Options", kBrightWhite);
    print_colored("  [2] Clean Temp & Cache", kBrightWhite);
    print_colored("  [3] Clean System Memory", kBrightWhite);
    print_colored("  [4] Update Database", kBrightWhite);
    print_colored("  [5] Exit", kLightRed);
    std::cout << "\nSelection: " << std::flush;
}

// The update runs on a thread of its own; this one only turns the spinner until it is done.
void run_database_update(HashChecker& checker, DatabaseUpdater& updater, Logger& logger,
                         const DataFiles& data) {
    logger.log("Starting database update");
    if (!data.writable) {
        const std::string reason = "the data folder " + data.shown_folder() + " cannot be written";
        print_status("[ERROR] Update failed: " + reason);
        logger.log("[ERROR] Database update failed: " + reason);
        return;
    }
    const UpdateResult result = wait_with_spinner(
        "Downloading database updates", [&] { return updater.update(checker, data.database()); });
    switch (result.status) {
        case UpdateResult::Status::kUpdated:
            print_status("[SUCCESS] Database updated.");
            print_status("[INFO] " + describe(result) + ".");
            logger.log("Database update successful (" + describe(result) + ")");
            break;
        case UpdateResult::Status::kUpToDate:
            print_status("[INFO] Database already up to date.");
            logger.log("Database already up to date (" + describe(result) + ")");
            break;
        case UpdateResult::Status::kFailed:
            print_status("[ERROR] Update failed: " + result.reason);
            logger.log("[ERROR] Database update failed: " + result.reason);
            break;
    }
}

ScanRoots default_scan_roots() {
    return {platform::quick_scan_roots(std::getenv(platform::profile_variable())),
            platform::full_scan_root()};
}

}  // namespace

int run_menu() {
    platform::enable_virtual_terminal();
    std::ios::sync_with_stdio(false);
    std::istream& in = std::cin;

    // The log opens before the move below, so it lands in the folder the user started from; its
    // full name is kept for the log viewer, which runs after the move.
    std::error_code ignored;
    const std::filesystem::path log_file = std::filesystem::absolute(kLogFile, ignored);
    Logger logger(log_file.empty() ? std::string(kLogFile) : log_file.string());
    HashChecker checker(logger);
    DatabaseUpdater updater(logger);
    warn_if_not_elevated(in);
    move_to_executable_folder();
    const DataFiles data = locate_data_files({});  // the working folder is the executable's

    remove_stale_temporaries(data);
    // The cache and the database are separate files of many megabytes: the database is read on
    // a second thread while the cache is, and the messages still come in their order.
    HashCache cache(data.hash_cache());
    auto database_loaded =
        std::async(std::launch::async, [&checker, &data] { return checker.load(data.database()); });
    const LoadResult cache_loaded = cache.load();
    if (cache_loaded) {
        print_colored("[INFO] Hash cache loaded: " + std::to_string(cache.size()) + " entries.",
                      kLightBlue);
    } else {
        print_colored("[INFO] Starting with empty hash cache.", kLightBlue);
        if (!cache_loaded.error.empty()) {
            print_colored(kReasonIndent + cache_loaded.error, kLightBlue);
        }
    }
    print_colored("[INIT] Loading hash database...", kLightCyan);
    const LoadResult database = database_loaded.get();
    if (!database) {
        print_colored("[WARN] Could not load hashes. Starting with empty database.", kYellow);
        if (!database.error.empty()) print_colored(kReasonIndent + database.error, kYellow);
    }
    if (!data.writable) print_colored(read_only_warning(data), kYellow);
    RuleLoadReport rule_report;
    const RuleSet rules = load_run_rules(
        {data.rules_folder()}, data, logger,
        [](const std::string& line) {
            print_colored(line, status_color(line).value_or(kLightCyan));
        },
        rule_report);
    const std::unique_ptr<RuleCache> rule_cache = load_rule_cache(rules, data);
    AutorunCheckOptions autostart;
    autostart.rules = &rules;
    check_registry_autoruns(checker, logger, autostart);

    PostScanOptions post_scan;
    post_scan.input = &in;
    if (!log_file.empty()) post_scan.log_file = log_file.string();
    for (;;) {
        draw_main_menu();
        switch (read_menu_action(in)) {
            case MenuAction::kRedraw:
                break;
            case MenuAction::kScan: {
                platform::clear_screen();
                print_banner();
                auto request = run_scan_dialog(in, default_scan_roots());
                if (!request) break;
                request->rules = &rules;
                request->rule_cache = rule_cache.get();
                run_interactive_scan(*request, checker, logger, &cache, data.writable, post_scan);
                break;
            }
            case MenuAction::kClean:
                clean_temp_and_cache(logger);
                wait_for_return(in);
                break;
            case MenuAction::kMemory:
                clean_system_memory(logger);
                wait_for_return(in);
                break;
            case MenuAction::kUpdate:
                run_database_update(checker, updater, logger, data);
                wait_for_return(in);
                break;
            case MenuAction::kExit:
                return 0;
        }
    }
}
