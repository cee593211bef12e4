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

// Open folders lent to queued files, at most: each holds a descriptor until its batch is done,
// and a tree of many folders with few files each would otherwise run the process out of them.
// Beyond the limit a batch goes without; its files' status is then read by their whole path.
constexpr std::size_t kLentFolderLimit = 64;

// One batch is queued as one task per worker, and every one of them takes the batch's next file
// until none is left; so a batch of a few large files is still hashed on every core at once.
struct FileBatch {
    using Char = std::filesystem::path::value_type;
    struct Entry {
        std::size_t start;   // of the path in `text`
        std::size_t length;  // of the path, without the NUL after it
        std::size_t name;    // where the file's name begins, counted from `start`
        std::size_t folder;  // in `folders`, or kNoFolder
    };
    static constexpr std::size_t kNoFolder = ~std::size_t{0};

    explicit FileBatch(std::atomic<std::size_t>& lent) : lent(lent) {}
    ~FileBatch() { lent.fetch_sub(folders.size()); }
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    void add(const WalkedFile& file) {
        std::size_t folder = kNoFolder;
        if (!folders.empty() && folders.back() == file.folder) {
            folder = folders.size() - 1;
        } else if (lent.fetch_add(1) < kLentFolderLimit) {
            folders.push_back(file.folder);
            folder = folders.size() - 1;
        } else {
            lent.fetch_sub(1);
        }
        entries.push_back(Entry{text.size(), file.path.size(), file.name_offset, folder});
        text += file.path;
        text += Char(0);
    }

    // The paths one after another, each followed by a NUL, so a file's name can be handed to the
    // system as it stands: one buffer for the batch instead of one allocation per file.
    std::filesystem::path::string_type text;
    std::vector<Entry> entries;
    std::vector<std::shared_ptr<platform::FolderReader>> folders;
    std::atomic<std::size_t>& lent;
    // On a cache line of its own: the workers take files from it while reading the fields above.
    alignas(64) std::atomic<std::size_t> next{0};
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

    // Declared before the pool: batches count their folders back into it when they are freed,
    // and the workers read the context.
    std::atomic<std::size_t> lent_folders{0};
    const FileScanContext context{
        stats, checker, logger, cache, config.enable_heuristics, config.verify_signatures};
    // The queue holds batches, so its limit in tasks keeps the bound on files held at once.
    const std::size_t workers =
        options.threads != 0 ? options.threads : ThreadPool::default_thread_count();
    ThreadPool pool(workers, ThreadPool::kDefaultQueueLimit / kFilesPerTask);
    std::thread progress([&] { display_progress(scan_done, pool.pending_tasks, stats); });

    auto batch = std::make_shared<FileBatch>(lent_folders);
    const auto queue_batch = [&] {
        if (batch->entries.empty()) return;
        std::shared_ptr<FileBatch> shared = std::move(batch);
        batch = std::make_shared<FileBatch>(lent_folders);
        const std::size_t takers = std::min(workers, shared->entries.size());
        for (std::size_t i = 0; i < takers; ++i) {
            pool.enqueue([&context, &stats, &cache_hits, shared] {
                WorkerTally tally;
                for (std::size_t at; (at = shared->next.fetch_add(1)) < shared->entries.size();) {
                    const FileBatch::Entry& file = shared->entries[at];
                    const platform::FolderReader* folder = file.folder == FileBatch::kNoFolder
                                                               ? nullptr
                                                               : shared->folders[file.folder].get();
                    const std::uint64_t hits_before = tally.cache_hits;
                    // One file's failure must not cost the rest of its batch their scan; as when
                    // each file was its own task, what it threw goes no further.
                    try {
                        scan_walked_file(context, tally,
                                         {shared->text.data() + file.start, file.length}, file.name,
                                         folder);
                    } catch (const std::exception&) {
                    }
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
    };
    const auto queue_file = [&](const WalkedFile& file) {
        batch->add(file);
        if (batch->entries.size() == kFilesPerTask) queue_batch();
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
