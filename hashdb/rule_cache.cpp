#include "hashdb/rule_cache.h"

#include <utility>

#include "hashdb/stored_bytes.h"
#include "platform/atomic_file.h"
#include "platform/file_hash.h"

namespace {

constexpr char kMagic[] = "QVXRCACH";
constexpr std::size_t kMagicBytes = 8;
constexpr std::uint64_t kVersion = 1;
// The least an outcome and an entry take in the file: their counts and fixed fields.
constexpr std::uint64_t kOutcomeBytes = 8;
constexpr std::uint64_t kNameBytes = 8;
constexpr std::uint64_t kEntryBytes = 8 + 8 + 8 + 8;
constexpr std::uint64_t kLargestFile = std::uint64_t{1} << 32;

// Checks the whole layout and hands on the identity, each outcome after the empty one, and each
// entry, in file order.
template <class OnOutcome, class OnEntry>
bool walk_rule_cache(std::string_view data, std::string_view& rule_set, OnOutcome&& on_outcome,
                     OnEntry&& on_entry) {
    ByteReader in(data);
    std::string_view magic;
    std::uint64_t version = 0;
    std::uint64_t outcomes = 0;
    if (!in.raw(kMagicBytes, magic) || magic != std::string_view(kMagic, kMagicBytes) ||
        !in.u64(version) || version != kVersion || !in.text(rule_set) || !in.u64(outcomes) ||
        outcomes > in.remaining() / kOutcomeBytes) {
        return false;
    }
    std::vector<std::string_view> names;
    for (std::uint64_t i = 0; i < outcomes; ++i) {
        std::uint64_t count = 0;
        if (!in.u64(count) || count == 0 || count > in.remaining() / kNameBytes) return false;
        names.clear();
        for (std::uint64_t n = 0; n < count; ++n) {
            std::string_view name;
            if (!in.text(name)) return false;
            names.push_back(name);
        }
        on_outcome(names);
    }
    std::uint64_t entries = 0;
    if (!in.u64(entries) || entries > in.remaining() / kEntryBytes) return false;
    for (std::uint64_t i = 0; i < entries; ++i) {
        std::string_view key;
        std::uint64_t size = 0;
        std::uint64_t time = 0;
        std::uint64_t outcome = 0;
        if (!in.text(key) || !in.u64(size) || !in.u64(time) || !in.u64(outcome) ||
            outcome > outcomes) {
            return false;
        }
        on_entry(key, platform::FileStamp{static_cast<std::int64_t>(size), time},
                 static_cast<std::uint32_t>(outcome));
    }
    return in.remaining() == 0;
}

}  // namespace

std::string serialize_rule_cache(std::string_view rule_set,
                                 const std::vector<RuleCacheEntry>& entries) {
    // Outcomes numbered in order of first use, from 1.
    std::map<std::vector<std::string>, std::uint64_t> numbers;
    std::vector<const std::vector<std::string>*> outcomes;
    std::vector<std::uint64_t> outcome_of(entries.size(), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].rules.empty()) continue;
        const auto [at, added] = numbers.emplace(entries[i].rules, outcomes.size() + 1);
        if (added) outcomes.push_back(&at->first);
        outcome_of[i] = at->second;
    }
    ByteWriter out;
    out.raw(std::string_view(kMagic, kMagicBytes))
        .u64(kVersion)
        .text(rule_set)
        .u64(outcomes.size());
    for (const auto* rules : outcomes) {
        out.u64(rules->size());
        for (const auto& name : *rules) out.text(name);
    }
    out.u64(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out.text(entries[i].key)
            .u64(static_cast<std::uint64_t>(entries[i].stamp.size))
            .u64(entries[i].stamp.last_write_time)
            .u64(outcome_of[i]);
    }
    return out.take();
}

bool parse_rule_cache(std::string_view data, std::string& rule_set,
                      std::vector<RuleCacheEntry>& entries) {
    std::string_view identity;
    std::vector<std::vector<std::string>> outcomes{{}};
    std::vector<RuleCacheEntry> parsed;
    const bool intact = walk_rule_cache(
        data, identity,
        [&](const std::vector<std::string_view>& names) {
            outcomes.emplace_back(names.begin(), names.end());
        },
        [&](std::string_view key, const platform::FileStamp& stamp, std::uint32_t outcome) {
            parsed.push_back(RuleCacheEntry{std::string(key), stamp, outcomes[outcome]});
        });
    if (!intact) return false;
    rule_set = std::string(identity);
    entries = std::move(parsed);
    return true;
}

RuleCache::RuleCache(std::filesystem::path file, std::string rule_set)
    : file(std::move(file)), rule_set(std::move(rule_set)) {}

bool RuleCache::load() {
    platform::WholeFile content;
    content.limit = kLargestFile;
    if (!platform::read_whole_file(file, content) || !content.kept) return false;
    const std::string_view data(reinterpret_cast<const char*>(content.bytes.data()), content.size);

    std::string_view identity;
    std::vector<std::vector<std::string>> read_outcomes{{}};
    std::unordered_map<std::string, Entry, KeyHash, std::equal_to<>> read_entries;
    const bool intact = walk_rule_cache(
        data, identity,
        [&](const std::vector<std::string_view>& names) {
            read_outcomes.emplace_back(names.begin(), names.end());
        },
        [&](std::string_view key, const platform::FileStamp& stamp, std::uint32_t outcome) {
            if (read_entries.empty()) read_entries.reserve(content.size / 64);
            read_entries.insert_or_assign(std::string(key), Entry{stamp, outcome});
        });
    const bool same_set = intact && identity == rule_set;
    std::lock_guard lock(mutex);
    entries.clear();
    outcomes.assign(1, {});
    outcome_numbers.clear();
    if (same_set) {
        entries = std::move(read_entries);
        outcomes = std::move(read_outcomes);
        for (std::size_t i = 1; i < outcomes.size(); ++i) {
            outcome_numbers.emplace(outcomes[i], static_cast<std::uint32_t>(i));
        }
    }
    // A file of another set is replaced by the next save, even if nothing is matched meanwhile.
    ++revision;
    if (same_set) saved = revision;
    return intact;
}

bool RuleCache::save() {
    std::uint64_t writing = 0;
    {
        std::lock_guard lock(mutex);
        if (revision == saved) return true;
        writing = revision;
    }
    // A change made from here on is in the snapshot or not; either way the next save writes again.
    const std::string bytes = serialize_rule_cache(rule_set, snapshot());
    platform::AtomicFileWriter writer(file);
    if (!writer.ok()) return false;
    writer.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!writer.commit()) return false;
    std::lock_guard lock(mutex);
    saved = writing;  // entries stored meanwhile wait for the next save
    return true;
}

bool RuleCache::lookup_key(std::string_view key, const platform::FileStamp& stamp,
                           std::vector<std::string>& rules_out) const {
    std::lock_guard lock(mutex);
    const auto found = entries.find(key);
    if (found == entries.end() || !found->second.stamp.same_version(stamp)) return false;
    rules_out = outcomes[found->second.outcome];
    return true;
}

std::uint32_t RuleCache::outcome_index(const std::vector<std::string>& rules) {
    if (rules.empty()) return 0;
    const auto [at, added] =
        outcome_numbers.emplace(rules, static_cast<std::uint32_t>(outcomes.size()));
    if (added) outcomes.push_back(rules);
    return at->second;
}

void RuleCache::store_key(std::string_view key, const platform::FileStamp& stamp,
                          const std::vector<std::string>& rules) {
    std::lock_guard lock(mutex);
    const Entry entry{stamp, outcome_index(rules)};
    const auto found = entries.find(key);
    if (found == entries.end()) {
        entries.emplace(std::string(key), entry);
    } else if (found->second.stamp.same_version(entry.stamp) &&
               found->second.outcome == entry.outcome) {
        return;
    } else {
        found->second = entry;
    }
    ++revision;
}

std::size_t RuleCache::size() const {
    std::lock_guard lock(mutex);
    return entries.size();
}

std::vector<RuleCacheEntry> RuleCache::snapshot() const {
    std::lock_guard lock(mutex);
    std::vector<RuleCacheEntry> all;
    all.reserve(entries.size());
    for (const auto& [key, entry] : entries) {
        all.push_back(RuleCacheEntry{key, entry.stamp, outcomes[entry.outcome]});
    }
    return all;
}
