#include "app/interactive_scan.h"

#include <iostream>
#include <string>
#include <thread>

#include "app/menu.h"
#include "console/console.h"
#include "console/logger.h"
#include "hashdb/hash_cache.h"
#include "hashdb/rule_cache.h"
#include "report/progress.h"
#include "report/scan_report.h"

void run_interactive_scan(const ScanRequest& request, const HashChecker& checker, Logger& logger,
                          HashCache* cache, bool save_cache, const PostScanOptions& post_scan) {
    ScanProgress progress;
    std::thread display([&progress] { display_progress(progress); });
    const ScanStats stats = scan_directory(request, checker, logger, cache, &progress);
    display.join();

    if (cache != nullptr && save_cache) {
        // A failed save is said as such: the next scan would otherwise be slow without a reason.
        if (cache->save()) {
            std::cout << "[INFO] Hash cache saved. Cache hits: " << stats.cache_hits << "\n";
        } else {
            print_status("[WARN] Hash cache could not be saved. Cache hits: " +
                         std::to_string(stats.cache_hits));
            logger.log("[WARN] Hash cache could not be saved");
        }
    }
    if (request.rule_cache != nullptr && save_cache && !request.rule_cache->save()) {
        print_status(kRuleCacheNotSaved);
        logger.log(kRuleCacheNotSaved);
    }
    if (stats.rules_too_large != 0) {
        std::cout << "[INFO] " << rules_too_large_text(stats.rules_too_large) << "\n";
    }
    print_scan_report(stats);
    const PostScanAction action = post_scan_actions(stats, post_scan);
    logger.log("Scan Finished. Files: " + std::to_string(stats.files_scanned));
    // What an action printed stays on the screen until the user is done reading: the main menu
    // that follows clears it.
    if (action == PostScanAction::kShowMalicious || action == PostScanAction::kShowErrors ||
        action == PostScanAction::kExport) {
        wait_for_return(*post_scan.input);
    }
}
