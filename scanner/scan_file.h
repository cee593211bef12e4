// The work done for one file of a scan, on a worker thread: trusted signature, hash (from the
// cache or the file), database lookup and, for executables, the entropy test.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hashdb/rule_set.h"
#include "scanner/scan_stats.h"

namespace platform {
class FolderReader;
}

class HashCache;
class HashChecker;
class Logger;
class RuleCache;

// The findings and errors of a running scan, added from the worker threads, and its live counters.
class ScanCollector {
  public:
    explicit ScanCollector(ScanProgress& progress) : progress(progress) {}
    ScanCollector(const ScanCollector&) = delete;
    ScanCollector& operator=(const ScanCollector&) = delete;

    // Each list has its own lock, held only for the append and the matching counter, so a
    // finished scan always has counts equal to list lengths.
    void add_malicious(ScanFinding finding);
    void add_suspicious(ScanFinding finding);
    void add_error(ScanError error);

    // Moves the lists into the result of a scan whose workers have all finished.
    void move_into(ScanStats& stats);

    ScanProgress& progress;

  private:
    std::mutex malicious_mutex;
    std::mutex suspicious_mutex;
    std::mutex error_mutex;
    std::vector<ScanFinding> malicious;
    std::vector<ScanFinding> suspicious;
    std::vector<ScanError> errors;
};

// Rule matching during one scan: the set, the memory of earlier matches, the limits, and the
// matchers (a scanner and a content buffer each) that the workers borrow, so that there are never
// more of them than workers at a time.
class RuleScanState {
  public:
    RuleScanState(const RuleSet& set, RuleCache* cache, const RuleMatchOptions& options)
        : set(set), cache(cache), options(options) {}
    RuleScanState(const RuleScanState&) = delete;
    RuleScanState& operator=(const RuleScanState&) = delete;

    std::unique_ptr<RuleMatcher> borrow();
    void give_back(std::unique_ptr<RuleMatcher> matcher);

    const RuleSet& set;
    RuleCache* const cache;  // null: every file is matched
    const RuleMatchOptions options;

  private:
    std::mutex mutex;
    std::vector<std::unique_ptr<RuleMatcher>> idle;
};

// What the scan of one file needs besides the file.
struct FileScanContext {
    ScanCollector& found;
    const HashChecker& checker;
    Logger& logger;
    HashCache* cache;  // null: no cache for this scan
    bool enable_heuristics = false;
    bool verify_signatures = false;
    RuleScanState* rules = nullptr;  // null: no rule matching
};

// What a worker carries from file to file: counts not yet added to the scan's shared counters
// (many files answered from the cache would otherwise contend for them file by file), buffers
// reused for every file, and the rule matcher it borrowed.
struct WorkerTally {
    WorkerTally() = default;
    ~WorkerTally();
    WorkerTally(const WorkerTally&) = delete;
    WorkerTally& operator=(const WorkerTally&) = delete;

    std::uint64_t files_scanned = 0;
    std::uint64_t bytes_scanned = 0;
    std::uint64_t cache_hits = 0;
    std::uint64_t files_read = 0;
    std::uint64_t rules_too_large = 0;
    std::string key;
    std::string hash;
    std::vector<std::string> rules;

    // Adds the counts to the scan's live counters and starts again from zero.
    void flush(ScanProgress& progress);

    // The matcher this worker uses, borrowed on first use and given back at the end.
    RuleMatcher& matcher(RuleScanState& state);

  private:
    std::unique_ptr<RuleMatcher> borrowed;
    RuleScanState* lender = nullptr;
};

// A file's path as the walk spelt it, followed in memory by a NUL.
using FilePathText = std::basic_string_view<std::filesystem::path::value_type>;

// Scans the file with this path text; its counts go to `tally`, findings and errors straight to
// the scan's lists. `folder`, when given, is the open folder that holds the file: its status is
// then read relative to it, by the name at `name_offset`. The path object is only built when the
// file has to be read or reported.
void scan_walked_file(const FileScanContext& context, WorkerTally& tally, FilePathText path,
                      std::size_t name_offset, const platform::FolderReader* folder);

// Scans one file on its own: once in files_scanned or once in the errors, plus a malicious or
// suspicious finding.
void scan_file(const FileScanContext& context, const std::filesystem::path& path);

// The narrow text of a path as the result lists, the log and reports show it: characters the
// narrow form cannot hold as '?', control characters escaped.
std::string display_text(const std::filesystem::path& path);

// Records a file (or folder) the scan could not look at, with its reason, in the errors and the
// log.
void record_error(const FileScanContext& context, const std::filesystem::path& path,
                  std::string reason);

// True for the extensions that get the entropy test: ".exe", ".dll" and ".sys", in any case.
bool is_executable_extension(const std::filesystem::path& path);
