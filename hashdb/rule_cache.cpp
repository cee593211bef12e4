#include "hashdb/rule_cache.h"

#include <functional>
#include <utility>

#include "hashdb/stored_bytes.h"
#include "platform/atomic_file.h"

namespace {

constexpr char kMagic[] = "QVXRCACH";
constexpr std::size_t kMagicBytes = 8;
constexpr std::uint64_t kVersion = 1;
// The least an outcome and an entry take in the file: their counts and fixed fields.
constexpr std::uint64_t kOutcomeBytes = 8;
constexpr std::uint64_t kNameBytes = 8;
constexpr std::uint64_t kEntryBytes = 8 + 8 + 8 + 8;
// Entries are indexed by their 32-bit offset in the file.
constexpr std::uint64_t kLargestFile = (std::uint64_t{1} << 32) - 1;

std::size_t hash_of(std::string_view key) { return std::hash<std::string_view>{}(key); }

// The number of index slots for `count` keys: a power of two, at most half of them used, so that a
// search meets an empty slot soon.
std::size_t slots_for(std::size_t count) {
    std::size_t size = 64;
    while (count * 2 > size) size *= 2;
    return size;
}

// Open addressing with linear probing: the position of the slot that holds the key (`same` says
// whether a slot's entry has it), or of the empty slot where it would go.
template <class Same>
std::size_t probe(const std::vector<std::uint32_t>& slots, std::size_t hash, Same&& same) {
    const std::size_t mask = slots.size() - 1;
    std::size_t at = hash & mask;
    while (slots[at] != 0 && !same(slots[at])) at = (at + 1) & mask;
    return at;
}

// Checks the whole layout and hands on the identity, each outcome after the empty one, the number
// of entries (before the first) and each entry with its offset in `data`, in file order.
template <class OnOutcome, class OnCount, class OnEntry>
bool walk_rule_cache(std::string_view data, std::string_view& rule_set, OnOutcome&& on_outcome,
                     OnCount&& on_count, OnEntry&& on_entry) {
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
    on_count(static_cast<std::size_t>(entries));
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::size_t offset = in.position();
        std::string_view key;
        std::uint64_t size = 0;
        std::uint64_t time = 0;
        std::uint64_t outcome = 0;
        if (!in.text(key) || !in.u64(size) || !in.u64(time) || !in.u64(outcome) ||
            outcome > outcomes) {
            return false;
        }
        on_entry(offset, key, platform::FileStamp{static_cast<std::int64_t>(size), time},
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
        [&](std::size_t count) { parsed.reserve(count); },
        [&](std::size_t, std::string_view key, const platform::FileStamp& stamp,
            std::uint32_t outcome) {
            parsed.push_back(RuleCacheEntry{std::string(key), stamp, outcomes[outcome]});
        });
    if (!intact) return false;
    rule_set = std::string(identity);
    entries = std::move(parsed);
    return true;
}

RuleCache::RuleCache(std::filesystem::path file, std::string rule_set)
    : file(std::move(file)), rule_set(std::move(rule_set)) {}

RuleCache::Record RuleCache::record_at(std::uint32_t slot) const {
    // The layout was checked by the load.
    const std::string_view data(reinterpret_cast<const char*>(loaded.data()), loaded.size());
    ByteReader in(data.substr(slot - 1));
    Record record;
    std::uint64_t size = 0;
    std::uint64_t time = 0;
    std::uint64_t outcome = 0;
    in.text(record.key);
    in.u64(size);
    in.u64(time);
    in.u64(outcome);
    record.stamp = platform::FileStamp{static_cast<std::int64_t>(size), time};
    record.outcome = static_cast<std::uint32_t>(outcome);
    return record;
}

bool RuleCache::find_loaded(std::string_view key, std::size_t hash, Record& record) const {
    if (loaded_slots.empty()) return false;
    const std::size_t at = probe(loaded_slots, hash, [&](std::uint32_t slot) {
        return record_at(slot).key == key;
    });
    if (loaded_slots[at] == 0) return false;
    record = record_at(loaded_slots[at]);
    return true;
}

std::size_t RuleCache::added_index(std::string_view key, std::size_t hash) const {
    if (added_slots.empty()) return kNotAdded;
    const std::size_t at = probe(added_slots, hash, [&](std::uint32_t slot) {
        const Added& entry = added[slot - 1];
        return entry.hash == hash && entry.key == key;
    });
    return added_slots[at] == 0 ? kNotAdded : added_slots[at] - 1;
}

bool RuleCache::load() {
    platform::FileContent content;
    if (!content.load(file) || content.size() > kLargestFile) return false;
    const std::string_view data(reinterpret_cast<const char*>(content.data()), content.size());

    std::string_view identity;
    std::vector<std::vector<std::string>> read_outcomes{{}};
    std::vector<std::uint32_t> slots;
    std::size_t count = 0;
    const bool intact = walk_rule_cache(
        data, identity,
        [&](const std::vector<std::string_view>& names) {
            read_outcomes.emplace_back(names.begin(), names.end());
        },
        [&](std::size_t entries) { slots.assign(slots_for(entries), 0); },
        [&](std::size_t offset, std::string_view key, const platform::FileStamp&, std::uint32_t) {
            const std::size_t at = probe(slots, hash_of(key), [&](std::uint32_t slot) {
                std::string_view other;
                ByteReader in(data.substr(slot - 1));
                return in.text(other) && other == key;
            });
            if (slots[at] == 0) ++count;
            slots[at] = static_cast<std::uint32_t>(offset + 1);  // a repeated key: the last holds
        });
    const bool same_set = intact && identity == rule_set;
    std::lock_guard lock(mutex);
    added.clear();
    added_slots.clear();
    overridden = 0;
    outcomes.assign(1, {});
    outcome_numbers.clear();
    if (same_set) {
        loaded = std::move(content);  // a mapping or a buffer: its bytes stay where they are
        loaded_slots = std::move(slots);
        loaded_count = count;
        outcomes = std::move(read_outcomes);
        for (std::size_t i = 1; i < outcomes.size(); ++i) {
            outcome_numbers.emplace(outcomes[i], static_cast<std::uint32_t>(i));
        }
    } else {
        loaded = platform::FileContent();
        loaded_slots.clear();
        loaded_count = 0;
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
    const std::size_t hash = hash_of(key);
    std::lock_guard lock(mutex);
    Record record;
    if (const std::size_t newer = added_index(key, hash); newer != kNotAdded) {
        record = Record{added[newer].key, added[newer].stamp, added[newer].outcome};
    } else if (!find_loaded(key, hash, record)) {
        return false;
    }
    if (!record.stamp.same_version(stamp)) return false;
    rules_out = outcomes[record.outcome];
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
    const std::size_t hash = hash_of(key);
    std::lock_guard lock(mutex);
    const std::uint32_t outcome = outcome_index(rules);
    if (const std::size_t index = added_index(key, hash); index != kNotAdded) {
        Added& newer = added[index];
        if (newer.stamp.same_version(stamp) && newer.outcome == outcome) return;
        newer.stamp = stamp;
        newer.outcome = outcome;
        ++revision;
        return;
    }
    Record record;
    const bool in_file = find_loaded(key, hash, record);
    if (in_file && record.stamp.same_version(stamp) && record.outcome == outcome) return;
    if (in_file) ++overridden;
    added.push_back(Added{std::string(key), hash, stamp, outcome});
    if (added.size() * 2 > added_slots.size()) {
        added_slots.assign(slots_for(added.size()), 0);
        for (std::size_t i = 0; i + 1 < added.size(); ++i) {
            added_slots[probe(added_slots, added[i].hash, [](std::uint32_t) { return false; })] =
                static_cast<std::uint32_t>(i + 1);
        }
    }
    added_slots[probe(added_slots, hash, [](std::uint32_t) { return false; })] =
        static_cast<std::uint32_t>(added.size());
    ++revision;
}

std::size_t RuleCache::size() const {
    std::lock_guard lock(mutex);
    return loaded_count - overridden + added.size();
}

std::vector<RuleCacheEntry> RuleCache::snapshot() const {
    std::lock_guard lock(mutex);
    std::vector<RuleCacheEntry> all;
    all.reserve(loaded_count - overridden + added.size());
    for (const std::uint32_t slot : loaded_slots) {
        if (slot == 0) continue;
        const Record record = record_at(slot);
        if (overridden != 0 && added_index(record.key, hash_of(record.key)) != kNotAdded) continue;
        all.push_back(RuleCacheEntry{std::string(record.key), record.stamp,
                                     outcomes[record.outcome]});
    }
    for (const Added& entry : added) {
        all.push_back(RuleCacheEntry{entry.key, entry.stamp, outcomes[entry.outcome]});
    }
    return all;
}
