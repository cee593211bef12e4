#include "scanner/scan_directory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/logger.h"
#include "hashdb/hash_cache.h"
#include "report/progress.h"
#include "report/scan_report.h"
#include "scanner/scan_file.h"
#include "scanner/scan_stats.h"
#include "scanner/thread_pool.h"
#include "scanner/walk.h"

namespace {

// Files go to the workers in batches: a few queued tasks, allocations and wake-ups per batch
// instead of per file, which weighs on a rescan answered from the hash cache, where the work per
// file is a single status query.
constexpr std::size_t kFilesPerTask = 64;

// One batch is queued as one task per worker, and every one of them takes the batch's next file
// until none is left; so a batch of a few large files is still hashed on every core at once.
struct QueuedFile {
    std::filesystem::path::string_type path;
    // Kept open until its last queued file is scanned: its status is read relative to it.
    std::shared_ptr<platform::FolderReader> folder;
};

struct FileBatch {
    std::vector<QueuedFile> files;
    std::atomic<std::size_t> next{0};
};

}  // namespace

void scan_directory(const std::vector<std::string>& roots, const HashChecker& checker,
                    Logger& logger, const ScanConfig& config, HashCache* cache,
                    const ScanOptions& options) {
    ScanStats stats;
    stats.start_time = std::chrono::steady_clock::now();
    for (const auto& root : roots) stats.scanned_paths += root + "; ";
    std::atomic<std::uint64_t> cache_hits{0};
    std::atomic<bool> scan_done{false};

    // The queue holds batches, so its limit in tasks keeps the bound on files held at once.
    const std::size_t workers =
        options.threads != 0 ? options.threads : ThreadPool::default_thread_count();
    ThreadPool pool(workers, ThreadPool::kDefaultQueueLimit / kFilesPerTask);
    std::thread progress([&] { display_progress(scan_done, pool.pending_tasks, stats); });

    const FileScanContext context{
        stats, checker, logger, cache, config.enable_heuristics, config.verify_signatures};
    std::vector<QueuedFile> batch;
    batch.reserve(kFilesPerTask);
    const auto queue_batch = [&] {
        if (batch.empty()) return;
        auto shared = std::make_shared<FileBatch>();
        shared->files = std::move(batch);
        const std::size_t takers = std::min(workers, shared->files.size());
        for (std::size_t i = 0; i < takers; ++i) {
            pool.enqueue([&context, &stats, &cache_hits, shared] {
                WorkerTally tally;
                for (std::size_t at; (at = shared->next.fetch_add(1)) < shared->files.size();) {
                    QueuedFile& file = shared->files[at];
                    const std::uint64_t hits_before = tally.cache_hits;
                    // One file's failure must not cost the rest of its batch their scan; as when
                    // each file was its own task, what it threw goes no further.
                    try {
                        scan_walked_file(context, tally, file.path, file.folder.get());
                    } catch (const std::exception&) {
                    }
                    file.folder.reset();
                    // A file that had to be read shows in the progress line at once; files the
                    // cache answered, in groups.
                    if (tally.cache_hits == hits_before ||
                        tally.files_scanned >= kFilesPerTask / 4) {
                        tally.flush(stats, cache_hits);
                    }
                }
                tally.flush(stats, cache_hits);
            });
        }
        batch.clear();
        batch.reserve(kFilesPerTask);
    };
    const auto queue_file = [&](const WalkedFile& file) {
        batch.push_back(QueuedFile{file.path, file.folder});
        if (batch.size() == kFilesPerTask) queue_batch();
    };
    const auto log_folder_error = [&logger](const std::filesystem::filesystem_error& error) {
        logger.log(std::string("[ERROR] Directory iteration failed: ") + error.what());
    };
    // Any failure ends the walk of every remaining root; what was queued is still scanned.
    try {
        for (const auto& root : roots) {
            const std::filesystem::path root_path(root);
            std::error_code ec;
            const bool present = std::filesystem::exists(root_path, ec);
            if (ec) throw std::filesystem::filesystem_error("exists", root_path, ec);
            if (!present) {
                logger.log("[WARN] Path skip: " + root);
                continue;
            }
            walk_tree(root_path, config, queue_file, log_folder_error);
        }
    } catch (const std::exception& error) {
        logger.log(std::string("[ERROR] Directory iteration failed: ") + error.what());
    }
    queue_batch();

    scan_done.store(true);
    pool.wait_idle();
    progress.join();
    stats.end_time = std::chrono::steady_clock::now();

    if (cache != nullptr) {
        // A failed save is said as such: the next scan would otherwise be slow without a reason.
        if (cache->save()) {
            std::cout << "[INFO] Hash cache saved. Cache hits: " << cache_hits.load() << "\n";
        } else {
            print_status("[WARN] Hash cache could not be saved. Cache hits: " +
                         std::to_string(cache_hits.load()));
            logger.log("[WARN] Hash cache could not be saved");
        }
    }
    print_scan_report(stats);
    post_scan_actions(stats, options.post_scan);
    logger.log("Scan Finished. Files: " + std::to_string(stats.files_scanned.load()));
}
