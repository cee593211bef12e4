#include "scanner/scan_directory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "console/logger.h"
#include "platform/file_info.h"
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
    ~FileBatch() {
        // The folders are closed before they are given back: the walk may lend new ones as soon
        // as the count drops, and the process must never hold more than the limit.
        const std::size_t count = folders.size();
        folders.clear();
        lent.fetch_sub(count);
    }
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    void add(const WalkedFile& file) {
        // A file named as a root comes without a folder: its status is read by its whole path.
        const std::size_t folder = file.folder ? lend(file.folder, file.path.size()) : kNoFolder;
        entries.push_back(Entry{text.size(), file.path.size(), file.name_offset, folder});
        text += file.path;
        text += Char(0);
    }

    // The folder's index in `folders`, or kNoFolder when the limit of lent folders is reached. A
    // file whose path is too long to be opened by name can only be reached through its folder,
    // which it is lent whatever the limit.
    std::size_t lend(const std::shared_ptr<platform::FolderReader>& folder,
                     std::size_t path_length) {
        if (!folders.empty() && folders.back() == folder) return folders.size() - 1;
        if (lent.fetch_add(1) >= kLentFolderLimit &&
            path_length <= platform::FolderReader::longest_path_by_name()) {
            lent.fetch_sub(1);
            return kNoFolder;
        }
        folders.push_back(folder);
        return folders.size() - 1;
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

// The work of one worker on a batch: it takes the batch's next file until none is left.
void scan_batch(const FileScanContext& context, ScanProgress& live, FileBatch& batch) {
    WorkerTally tally;
    for (std::size_t at; (at = batch.next.fetch_add(1)) < batch.entries.size();) {
        const FileBatch::Entry& file = batch.entries[at];
        const platform::FolderReader* folder =
            file.folder == FileBatch::kNoFolder ? nullptr : batch.folders[file.folder].get();
        const std::uint64_t hits_before = tally.cache_hits;
        const FilePathText path{batch.text.data() + file.start, file.length};
        // One file's failure must not cost the rest of its batch their scan, and it is never
        // lost: it becomes an error entry with its reason.
        try {
            scan_walked_file(context, tally, path, file.name, folder);
        } catch (const std::exception& error) {
            record_error(context, std::filesystem::path(path), error.what());
        }
        // A file that had to be read shows in the progress line at once; files the cache
        // answered, in groups.
        if (tally.cache_hits == hits_before || tally.files_scanned >= kFilesPerTask / 4) {
            tally.flush(live);
        }
    }
    tally.flush(live);
}

}  // namespace

std::size_t default_scan_workers() {
    return std::max<std::size_t>(ThreadPool::default_thread_count(), 4);
}

ScanStats scan_directory(const ScanRequest& request, const HashChecker& checker, Logger& logger,
                         HashCache* cache, ScanProgress* progress) {
    ScanStats stats;
    stats.start_time = std::chrono::steady_clock::now();
    stats.roots = request.roots;
    for (const auto& root : request.roots) stats.scanned_paths += root + "; ";
    ScanProgress own_progress;
    ScanProgress& live = progress != nullptr ? *progress : own_progress;
    // Whoever watches the progress learns of the end also when the scan ends by an exception.
    struct MarkFinished {
        ScanProgress& progress;
        ~MarkFinished() { progress.finished.store(true); }
    } mark_finished{live};
    ScanCollector found(live);

    // Declared before the pool: batches count their folders back into it when they are freed,
    // and the workers read the context.
    std::atomic<std::size_t> lent_folders{0};
    std::optional<RuleScanState> rules;
    if (request.rules != nullptr && request.rules->active()) {
        rules.emplace(*request.rules, request.rule_cache, request.rule_options);
    }
    const FileScanContext context{found,
                                  checker,
                                  logger,
                                  cache,
                                  request.config.enable_heuristics,
                                  request.config.verify_signatures,
                                  rules ? &*rules : nullptr};
    // The queue holds batches, so its limit in tasks keeps the bound on files held at once.
    const std::size_t workers =
        request.threads != 0 ? request.threads : default_scan_workers();
    {
        ThreadPool pool(workers, ThreadPool::kDefaultQueueLimit / kFilesPerTask);
        auto batch = std::make_shared<FileBatch>(lent_folders);
        const auto queue_batch = [&] {
            if (batch->entries.empty()) return;
            std::shared_ptr<FileBatch> shared = std::move(batch);
            batch = std::make_shared<FileBatch>(lent_folders);
            const std::size_t takers = std::min(workers, shared->entries.size());
            for (std::size_t i = 0; i < takers; ++i) {
                pool.enqueue([&context, &live, shared] { scan_batch(context, live, *shared); });
            }
        };
        const auto queue_file = [&](const WalkedFile& file) {
            batch->add(file);
            if (batch->entries.size() == kFilesPerTask) queue_batch();
        };
        // A folder that cannot be walked hides files from the scan: it counts with the files
        // that could not be read.
        const auto record_walk_error = [&](const std::filesystem::path& folder,
                                           const std::string& what) {
            logger.log("[ERROR] Directory iteration failed: " + what);
            found.add_error(ScanError{folder, display_text(folder), what});
        };
        const auto on_folder_error = [&](const std::filesystem::filesystem_error& error) {
            record_walk_error(error.path1(), error.what());
        };
        for (const auto& root : request.roots) {
            const std::filesystem::path root_path(root);
            // A failure ends the walk of this root only; what was queued is still scanned.
            try {
                std::error_code ec;
                const auto status = std::filesystem::status(root_path, ec);
                if (ec && ec != std::errc::no_such_file_or_directory) {
                    throw std::filesystem::filesystem_error("exists", root_path, ec);
                }
                if (!std::filesystem::exists(status)) {
                    logger.log("[WARN] Path skip: " + root);
                    stats.missing_roots.push_back(root);
                    continue;
                }
                if (std::filesystem::is_regular_file(status)) {
                    // A file named as a root is scanned as that file.
                    queue_file(WalkedFile{root_path.native(), 0, nullptr});
                    continue;
                }
                walk_tree(root_path, request.config, queue_file, on_folder_error);
            } catch (const std::exception& error) {
                record_walk_error(root_path, error.what());
            }
        }
        queue_batch();
        pool.wait_idle();
    }
    stats.end_time = std::chrono::steady_clock::now();
    found.move_into(stats);
    if (stats.rules_too_large != 0) {
        logger.log("[INFO] " + rules_too_large_text(stats.rules_too_large));
    }
    return stats;
}
