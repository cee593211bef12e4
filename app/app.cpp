#include "app/app.h"

#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <system_error>

#include "app/menu.h"
#include "console/console.h"
#include "console/logger.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"
#include "maintenance/memory_cleaning.h"
#include "maintenance/temp_cleaning.h"
#include "platform/atomic_file.h"
#include "platform/console.h"
#include "platform/locations.h"
#include "platform/process.h"
#include "report/autoruns.h"
#include "scanner/scan_directory.h"

namespace {

constexpr const char* kLogFile = "scan_log.txt";
constexpr const char* kHashCacheFile = "hash_cache.bin";
constexpr const char* kHashTextFile = "hashes.txt";
constexpr const char* kHashBinaryFile = "hashes.bin";

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
void run_database_update(HashChecker& checker, Logger& logger) {
    logger.log("Starting database update");
    const bool updated = wait_with_spinner("Downloading database updates", [&checker] {
        return checker.update_database(kHashTextFile, kHashBinaryFile);
    });
    if (updated) {
        print_status("[SUCCESS] Database updated.");
        logger.log("Database update successful");
    } else {
        print_status("[ERROR] Update failed.");
        logger.log("[ERROR] Database update failed");
    }
}

ScanRoots default_scan_roots() {
    return {platform::quick_scan_roots(std::getenv(platform::profile_variable())),
            platform::full_scan_root()};
}

}  // namespace

int run_quorvex() {
    platform::enable_virtual_terminal();
    std::ios::sync_with_stdio(false);
    std::istream& in = std::cin;

    // The log opens before the move below, so it lands in the folder the user started from.
    Logger logger(kLogFile);
    HashChecker checker(logger);
    warn_if_not_elevated(in);
    move_to_executable_folder();

    // What a save killed part-way left beside the stored files.
    for (const char* stored : {kHashCacheFile, kHashBinaryFile, kHashTextFile}) {
        platform::remove_stale_temporaries(stored);
    }
    // The cache and the database are separate files of many megabytes: the database is read on
    // a second thread while the cache is, and the messages still come in their order.
    HashCache cache(kHashCacheFile);
    auto database_loaded = std::async(
        std::launch::async, [&checker] { return checker.load(kHashTextFile, kHashBinaryFile); });
    if (cache.load()) {
        print_colored("[INFO] Hash cache loaded: " + std::to_string(cache.size()) + " entries.",
                      kLightBlue);
    } else {
        print_colored("[INFO] Starting with empty hash cache.", kLightBlue);
    }
    print_colored("[INIT] Loading hash database...", kLightCyan);
    if (!database_loaded.get()) {
        print_colored("[WARN] Could not load hashes. Starting with empty database.", kYellow);
    }
    check_registry_autoruns(checker, logger);

    for (;;) {
        draw_main_menu();
        switch (read_menu_action(in)) {
            case MenuAction::kRedraw:
                break;
            case MenuAction::kScan: {
                platform::clear_screen();
                print_banner();
                const auto request = run_scan_dialog(in, default_scan_roots());
                if (request) {
                    ScanOptions options;
                    options.post_scan.input = &in;
                    scan_directory(request->roots, checker, logger, request->config, &cache,
                                   options);
                }
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
                run_database_update(checker, logger);
                wait_for_return(in);
                break;
            case MenuAction::kExit:
                return 0;
        }
    }
}
