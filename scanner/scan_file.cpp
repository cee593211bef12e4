#include "scanner/scan_file.h"

#include <optional>
#include <string>

#include "console/console.h"
#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"
#include "hashdb/rule_cache.h"
#include "platform/file_info.h"
#include "platform/folder_reader.h"
#include "platform/trust.h"
#include "scanner/eligibility.h"
#include "scanner/entropy.h"

namespace {

// The file's stamp, asked of the open folder that holds it where the walk gave one.
bool query_stamp(FilePathText path, std::size_t name_offset, const platform::FolderReader* folder,
                 platform::FileStamp& stamp) {
    if (folder == nullptr) return platform::query_file_stamp(std::filesystem::path(path), stamp);
    return folder->query_stamp(path.data() + name_offset, stamp);
}

enum class RuleStep {
    kNone,      // no rules, an empty file, or the outcome known from the rule cache
    kTooLarge,  // above the size limit: hashed as ever, not matched
    kMatch,     // read whole, hashed and matched from the same bytes
};

constexpr char kHashReason[] = "hash";
constexpr char kRuleReason[] = "rule";

// What follows the path in a finding's log line: nothing for a listed hash alone, the rules
// otherwise: " (rule A, B)", or " (hash; rule A, B)" for both.
std::string why_malicious(const ScanFinding& found) {
    if (found.rules.empty()) return "";
    std::string text = " (";
    if (found.reasons.front() == kHashReason) text += "hash; ";
    text += "rule ";
    for (std::size_t i = 0; i < found.rules.size(); ++i) {
        if (i != 0) text += ", ";
        text += found.rules[i];
    }
    return text + ")";
}

}  // namespace

std::string display_text(const std::filesystem::path& path) {
    return printable(platform::display_narrow(path));
}

bool is_executable_extension(const std::filesystem::path& path) {
    const std::string extension = lower_extension(path);
    return extension == ".exe" || extension == ".dll" || extension == ".sys";
}

void record_error(const FileScanContext& context, const std::filesystem::path& path,
                  std::string reason) {
    ScanError error{path, display_text(path), std::move(reason)};
    const std::string line = "[ERROR] Could not scan " + error.display + ": " + error.reason;
    context.found.add_error(std::move(error));
    context.logger.log(line);
}

void ScanCollector::add_malicious(ScanFinding finding) {
    std::lock_guard lock(malicious_mutex);
    malicious.push_back(std::move(finding));
    progress.malicious_count.fetch_add(1);
}

void ScanCollector::add_suspicious(ScanFinding finding) {
    std::lock_guard lock(suspicious_mutex);
    suspicious.push_back(std::move(finding));
    progress.suspicious_count.fetch_add(1);
}

void ScanCollector::add_error(ScanError error) {
    std::lock_guard lock(error_mutex);
    errors.push_back(std::move(error));
    progress.error_count.fetch_add(1);
}

void ScanCollector::move_into(ScanStats& stats) {
    stats.malicious_files = std::move(malicious);
    stats.suspicious_files = std::move(suspicious);
    stats.error_files = std::move(errors);
    stats.files_scanned = progress.files_scanned.load();
    stats.bytes_scanned = progress.bytes_scanned.load();
    stats.cache_hits = progress.cache_hits.load();
    stats.files_read = progress.files_read.load();
    stats.rules_too_large = progress.rules_too_large.load();
}

void WorkerTally::flush(ScanProgress& progress) {
    if (files_scanned != 0) progress.files_scanned.fetch_add(files_scanned);
    if (bytes_scanned != 0) progress.bytes_scanned.fetch_add(bytes_scanned);
    if (cache_hits != 0) progress.cache_hits.fetch_add(cache_hits);
    if (files_read != 0) progress.files_read.fetch_add(files_read);
    if (rules_too_large != 0) progress.rules_too_large.fetch_add(rules_too_large);
    files_scanned = bytes_scanned = cache_hits = files_read = rules_too_large = 0;
}

WorkerTally::~WorkerTally() {
    if (borrowed) lender->give_back(std::move(borrowed));
}

RuleMatcher& WorkerTally::matcher(RuleScanState& state) {
    if (!borrowed) {
        borrowed = state.borrow();
        lender = &state;
    }
    return *borrowed;
}

std::unique_ptr<RuleMatcher> RuleScanState::borrow() {
    {
        std::lock_guard lock(mutex);
        if (!idle.empty()) {
            std::unique_ptr<RuleMatcher> matcher = std::move(idle.back());
            idle.pop_back();
            return matcher;
        }
    }
    return std::make_unique<RuleMatcher>(set, options);
}

void RuleScanState::give_back(std::unique_ptr<RuleMatcher> matcher) {
    std::lock_guard lock(mutex);
    idle.push_back(std::move(matcher));
}

void scan_walked_file(const FileScanContext& context, WorkerTally& tally, FilePathText path_text,
                      std::size_t name_offset, const platform::FolderReader* folder) {
    std::optional<std::filesystem::path> path_object;
    const auto path = [&]() -> const std::filesystem::path& {
        if (!path_object) path_object.emplace(path_text);
        return *path_object;
    };
    // Opened through the folder the walk holds open, where it lent one: a path too long to open
    // by name is still read.
    const auto location = [&] {
        return folder != nullptr ? FileLocation(path(), folder, path_text.data() + name_offset)
                                 : FileLocation(path());
    };
    if (context.verify_signatures && platform::is_trusted_signature(path())) {
        ++tally.files_scanned;
        return;
    }

    // One stamp serves the caches and the byte count: a cached entry is valid for exactly those
    // bytes, and a file that is read counts the bytes that were read.
    HashCache* const cache = context.cache;
    RuleScanState* const rules = context.rules;
    RuleCache* const rule_cache = rules != nullptr ? rules->cache : nullptr;
    std::string& hash = tally.hash;
    hash.clear();
    platform::FileStamp stamp;
    bool stamped = false;
    if (cache != nullptr || rule_cache != nullptr) {
        platform::assign_narrow_path_key(path_text, tally.key);
        stamped = query_stamp(path_text, name_offset, folder, stamp);
    }
    if (stamped && cache != nullptr && cache->lookup_key(tally.key, stamp, hash)) {
        ++tally.cache_hits;
    }

    // What the rules make of the file: known from a match of these very bytes under this rule
    // set, not looked at for its size, or still to be found from its whole content.
    std::vector<std::string>& matched = tally.rules;
    matched.clear();
    RuleStep step = RuleStep::kNone;
    if (rules != nullptr) {
        const auto size = static_cast<std::uint64_t>(stamp.size);
        if (!stamped) {
            step = RuleStep::kMatch;
        } else if (size > rules->options.max_file_size) {
            step = RuleStep::kTooLarge;
        } else if (size != 0 &&
                   !(rule_cache != nullptr && rule_cache->lookup_key(tally.key, stamp, matched))) {
            step = RuleStep::kMatch;
        }
    }

    const bool heuristics_apply = context.enable_heuristics && is_executable_extension(path());
    // When an executable is read anyway, the entropy comes from the same bytes.
    std::optional<platform::ByteHistogram> histogram;
    std::string rule_error;
    if (step == RuleStep::kMatch) {
        // The hash and the rules from one read of the whole content.
        RuleMatcher& matcher = tally.matcher(*rules);
        platform::WholeFile& content = matcher.buffer();
        platform::FileStamp opened;
        std::string reason;
        if (!read_whole_content(location(), content, &opened, &reason)) {
            record_error(context, path(), std::move(reason));
            return;
        }
        // A cached hash holds for the bytes of the stamp it was found with, no others.
        const bool hash_holds = !hash.empty() && opened == stamp;
        stamp = opened;
        if (!content.kept) {
            step = RuleStep::kTooLarge;  // it grew past the limit meanwhile
            if (!hash_holds) hash.clear();
        } else {
            ++tally.files_read;
            if (!hash_holds) {
                if (!compute_bytes_hash(content.bytes.data(), content.size, hash)) {
                    record_error(context, path(),
                                 describe_read_error({platform::ReadFailure::kDigest, {}}));
                    return;
                }
                if (cache != nullptr) cache->store_key(tally.key, stamp, hash);
            }
            if (heuristics_apply) {
                histogram.emplace();
                platform::add_to_histogram(content.bytes.data(), content.size, *histogram);
            }
            if (content.size != 0) {
                RuleMatch match = matcher.match(path());
                if (match.outcome == RuleOutcome::kDone) {
                    matched = std::move(match.rules);
                    if (rule_cache != nullptr) rule_cache->store_key(tally.key, stamp, matched);
                } else {
                    rule_error = std::move(match.error);
                }
            }
        }
    }
    if (step == RuleStep::kTooLarge) ++tally.rules_too_large;

    if (hash.empty()) {
        bool hashed = false;
        std::string reason;
        if (heuristics_apply) {
            histogram.emplace();
            hashed = compute_file_hash(location(), hash, *histogram, &stamp, &reason);
        } else {
            hashed = compute_file_hash(location(), hash, &stamp, &reason);
        }
        if (!hashed) {
            record_error(context, path(), std::move(reason));
            return;
        }
        ++tally.files_read;
        if (cache != nullptr) cache->store_key(tally.key, stamp, hash);
    }

    // An empty file holds nothing to find, whatever a list says of the digest of empty input.
    const bool listed = stamp.size != 0 && context.checker.contains(hash);
    // A file the rules could not finish with was not scanned, unless its hash condemns it anyway.
    if (!rule_error.empty() && !listed) {
        record_error(context, path(), std::move(rule_error));
        return;
    }
    tally.bytes_scanned += static_cast<std::uint64_t>(stamp.size);
    ++tally.files_scanned;
    if (stamp.size == 0) return;

    const auto finding = [&](Verdict verdict) {
        ScanFinding found;
        found.verdict = verdict;
        found.path = path();
        found.display = display_text(path());
        found.sha256 = hash;
        found.size = static_cast<std::uint64_t>(stamp.size);
        found.stamp = stamp;
        return found;
    };
    if (listed || !matched.empty()) {
        ScanFinding found = finding(Verdict::kMalicious);
        if (listed) found.reasons.emplace_back(kHashReason);
        if (!matched.empty()) {
            found.reasons.emplace_back(kRuleReason);
            found.rules = matched;
        }
        const std::string line = "[MALICIOUS] " + found.display + why_malicious(found);
        context.found.add_malicious(std::move(found));
        context.logger.log(line);
        if (!rule_error.empty()) {
            context.logger.log("[WARN] Rules not matched against " + display_text(path()) + ": " +
                               rule_error);
        }
        return;
    }

    if (!heuristics_apply) return;
    double entropy = 0.0;
    if (histogram) {
        entropy = entropy_of(*histogram);
    } else {
        ++tally.files_read;
        entropy = calculate_file_entropy(path());
    }
    if (!is_suspicious_entropy(entropy)) return;
    ScanFinding found = finding(Verdict::kSuspicious);
    found.reasons = {"entropy"};
    found.entropy = entropy;
    const std::string line =
        "[SUSPICIOUS-ENTROPY] " + found.display + " E:" + std::to_string(entropy);
    context.found.add_suspicious(std::move(found));
    context.logger.log(line);
}

void scan_file(const FileScanContext& context, const std::filesystem::path& path) {
    WorkerTally tally;
    scan_walked_file(context, tally, path.native(), 0, nullptr);
    tally.flush(context.found.progress);
}
