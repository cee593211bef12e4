// Scans with pattern rules: a match is a finding, the rules and the hash come from one read of
// each file, and the memory of matches spares unchanged files until the rule set changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hashdb/hash_cache.h"
#include "hashdb/rule_cache.h"
#include "hashdb/rule_set.h"
#include "scan_fixture.h"
#include "scanner/scan_directory.h"

namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

constexpr char kRules[] = R"(
rule Dropper { strings: $a = "dropper-marker" condition: $a }
rule Loader { strings: $h = { 4C 4F [1-3] 41 44 } condition: $h }
rule Beacon { strings: $r = /beacon-[0-9a-f]{8}/ condition: $r }
)";

class ScanRulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!platform::rule_matching_available()) GTEST_SKIP() << "no rule library in this build";
    }

    RuleSet load_rules(const std::string& text) {
        bench.write("rules/set.yar", text);
        RuleLoadReport report;
        RuleSet set = RuleSet::load({bench.dir / "rules"}, KeptRuleFiles{}, report);
        if (!set.active()) throw std::runtime_error("test rules did not load");
        return set;
    }

    ScanStats scan(const RuleSet* rules, RuleCache* rule_cache, HashCache* cache = nullptr,
                   RuleMatchOptions options = {}, ScanConfig config = {}) {
        ScanRequest request;
        request.roots = {(bench.dir / "tree").string()};
        request.config = config;
        request.threads = 2;
        request.rules = rules;
        request.rule_cache = rule_cache;
        request.rule_options = options;
        const ScanStats stats = scan_directory(request, bench.checker, bench.logger, cache);
        scan_fixture::expect_consistent(stats);
        return stats;
    }

    static const ScanFinding* finding_for(const ScanStats& stats, const fs::path& path) {
        for (const auto& found : stats.malicious_files) {
            if (found.path == path) return &found;
        }
        return nullptr;
    }

    scan_fixture::ScanBench bench;
};

TEST_F(ScanRulesTest, AMatchIsAFindingWithItsRulesAndAListedHashAddsItsReason) {
    const auto dropper = bench.write("tree/a.bin", "x dropper-marker y");
    const auto both = bench.write("tree/b.bin", "LOxAD and beacon-0123abcd");
    const auto listed = bench.write("tree/c.bin", "listed, matches no rule");
    const auto listed_and_matched = bench.write("tree/d.bin", "listed dropper-marker");
    bench.write("tree/clean.bin", "nothing to see");
    bench.write("tree/empty.bin", "");
    bench.load_database({scan_fixture::hash_of(listed), scan_fixture::hash_of(listed_and_matched)});
    const RuleSet rules = load_rules(kRules);

    const ScanStats stats = scan(&rules, nullptr);
    EXPECT_EQ(stats.files_scanned, 6u);
    EXPECT_EQ(stats.error_count(), 0u);
    ASSERT_EQ(stats.malicious_count(), 4u);
    struct Expected {
        fs::path path;
        Names reasons;
        Names rules;
        const char* log_tail;
    };
    const Expected expected[] = {
        {dropper, {"rule"}, {"Dropper"}, " (rule Dropper)"},
        {both, {"rule"}, {"Loader", "Beacon"}, " (rule Loader, Beacon)"},
        {listed, {"hash"}, {}, ""},
        {listed_and_matched, {"hash", "rule"}, {"Dropper"}, " (hash; rule Dropper)"},
    };
    const std::string log = bench.log_text();
    for (const auto& e : expected) {
        const ScanFinding* found = finding_for(stats, e.path);
        ASSERT_NE(found, nullptr) << e.path;
        EXPECT_EQ(found->reasons, e.reasons) << e.path;
        EXPECT_EQ(found->rules, e.rules) << e.path;
        EXPECT_EQ(found->sha256, scan_fixture::hash_of(e.path)) << e.path;
        EXPECT_EQ(found->list_entry(), e.path.string()) << e.path;
        const std::string line = "[MALICIOUS] " + e.path.string() + e.log_tail + "\n";
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    }

    // Without rules, or with an empty set, only the listed hashes are found.
    EXPECT_EQ(scan(nullptr, nullptr).malicious_count(), 2u);
    const RuleSet none;
    EXPECT_EQ(scan(&none, nullptr).malicious_count(), 2u);
}

TEST_F(ScanRulesTest, AChangedRuleSetReadsEachUnchangedFileExactlyOnceMore) {
    const auto marked = bench.write("tree/one.bin", "dropper-marker");
    bench.write("tree/two.bin", "LO--AD");
    bench.write("tree/sub/three.bin", "plain");
    const RuleSet first_set = load_rules(kRules);
    HashCache cache((bench.dir / "hash_cache.bin").string());
    RuleCache memory(bench.dir / "rule_cache.bin", first_set.identity());

    struct Pass {
        const char* name;
        std::uint64_t files_read;
        std::uint64_t cache_hits;
        std::uint64_t malicious;
    };
    const auto check = [&](const Pass& pass, const RuleSet& set, RuleCache& rule_cache) {
        SCOPED_TRACE(pass.name);
        const ScanStats stats = scan(&set, &rule_cache, &cache);
        EXPECT_EQ(stats.files_scanned, 3u);
        EXPECT_EQ(stats.files_read, pass.files_read);
        EXPECT_EQ(stats.cache_hits, pass.cache_hits);
        EXPECT_EQ(stats.malicious_count(), pass.malicious);
    };
    check({"first scan: every file read once for hash and rules", 3, 0, 2}, first_set, memory);
    check({"rescan: nothing read", 0, 3, 2}, first_set, memory);

    // The memory survives a restart.
    ASSERT_TRUE(memory.save());
    RuleCache restarted(bench.dir / "rule_cache.bin", first_set.identity());
    ASSERT_TRUE(restarted.load());
    check({"after a restart: nothing read", 0, 3, 2}, first_set, restarted);

    // A changed set: each file read once more, its hash still from the cache.
    const RuleSet second_set =
        load_rules(std::string(kRules) + "rule Plain { strings: $p = \"plain\" condition: $p }\n");
    ASSERT_NE(second_set.identity(), first_set.identity());
    RuleCache second(bench.dir / "rule_cache.bin", second_set.identity());
    EXPECT_TRUE(second.load());
    EXPECT_EQ(second.size(), 0u);
    check({"new rule set: read once more", 3, 3, 3}, second_set, second);
    check({"and then not again", 0, 3, 3}, second_set, second);

    // A changed file alone is read, hashed and matched again.
    bench.write("tree/one.bin", "no marker now");
    fs::last_write_time(marked, fs::last_write_time(marked) + std::chrono::seconds(60));
    check({"one file changed", 1, 2, 2}, second_set, second);
}

TEST_F(ScanRulesTest, FilesAboveTheLimitAreHashedAndCountedButNotMatched) {
    const auto small = bench.write("tree/small.bin", "dropper-marker");
    const auto large = bench.write("tree/large.bin", "dropper-marker" + std::string(100, '.'));
    bench.load_database({scan_fixture::hash_of(large)});
    const RuleSet rules = load_rules(kRules);
    RuleMatchOptions options;
    options.max_file_size = 50;
    HashCache cache((bench.dir / "hash_cache.bin").string());
    RuleCache memory(bench.dir / "rule_cache.bin", rules.identity());
    for (const char* pass : {"first", "cached"}) {
        SCOPED_TRACE(pass);
        const ScanStats stats = scan(&rules, &memory, &cache, options);
        EXPECT_EQ(stats.files_scanned, 2u);
        EXPECT_EQ(stats.rules_too_large, 1u);
        ASSERT_EQ(stats.malicious_count(), 2u);
        EXPECT_EQ(finding_for(stats, small)->reasons, Names{"rule"});
        EXPECT_EQ(finding_for(stats, large)->reasons, Names{"hash"});
    }
    EXPECT_NE(
        bench.log_text().find("[INFO] 1 file not matched against rules (larger than the limit)\n"),
        std::string::npos)
        << bench.log_text();
}

TEST_F(ScanRulesTest, AMatchThatRunsOutOfTimeIsAnErrorUnlessTheHashIsListed) {
    const auto slow = bench.write("tree/slow.bin", "any content");
    const auto slow_listed = bench.write("tree/slow-listed.bin", "listed content");
    const auto quick = bench.write("tree/quick.bin", "dropper-marker");
    bench.load_database({scan_fixture::hash_of(slow_listed)});
    const RuleSet rules = load_rules(std::string(kRules) + R"(
rule Slow {
    condition: filename startswith "slow" and
               for all i in (0..10000000000) : (uint8(i % filesize) < 255 or true)
})");
    RuleMatchOptions options;
    options.timeout_seconds = 1;
    RuleCache memory(bench.dir / "rule_cache.bin", rules.identity());
    const ScanStats stats = scan(&rules, &memory, nullptr, options);
    EXPECT_EQ(stats.files_scanned, 2u);
    ASSERT_EQ(stats.error_count(), 1u);
    EXPECT_EQ(stats.error_files[0].path, slow);
    EXPECT_EQ(stats.error_files[0].reason, kRuleTimeoutText);
    ASSERT_EQ(stats.malicious_count(), 2u);
    EXPECT_EQ(finding_for(stats, slow_listed)->reasons, Names{"hash"});
    EXPECT_EQ(finding_for(stats, quick)->rules, Names{"Dropper"});
    // A match that did not finish is not remembered: the next scan tries again.
    Names remembered;
    platform::FileStamp stamp;
    ASSERT_TRUE(platform::query_file_stamp(slow, stamp));
    EXPECT_FALSE(memory.lookup_key(platform::narrow_path_key(slow), stamp, remembered));
    ASSERT_TRUE(platform::query_file_stamp(quick, stamp));
    EXPECT_TRUE(memory.lookup_key(platform::narrow_path_key(quick), stamp, remembered));
}

TEST_F(ScanRulesTest, AnExecutableIsReadOnceForHashRulesAndEntropy) {
    const auto packed = bench.write("tree/packed.exe", scan_fixture::uniform_bytes(4096));
    const RuleSet rules = load_rules(kRules);
    ScanConfig config;
    config.enable_heuristics = true;
    const ScanStats stats = scan(&rules, nullptr, nullptr, {}, config);
    EXPECT_EQ(stats.files_read, 1u);
    ASSERT_EQ(stats.suspicious_count(), 1u);
    EXPECT_EQ(stats.suspicious_files[0].path, packed);
    EXPECT_DOUBLE_EQ(stats.suspicious_files[0].entropy, 8.0);
}

TEST_F(ScanRulesTest, TwoWorkersMatchManyFilesAtOnce) {
    std::vector<fs::path> marked;
    for (int i = 0; i < 300; ++i) {
        const std::string content = i % 3 == 0 ? "dropper-marker " + std::to_string(i)
                                               : "plain content " + std::to_string(i);
        const auto file = bench.write(
            "tree/d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".bin", content);
        if (i % 3 == 0) marked.push_back(file);
    }
    const RuleSet rules = load_rules(kRules);
    RuleCache memory(bench.dir / "rule_cache.bin", rules.identity());
    HashCache cache((bench.dir / "hash_cache.bin").string());
    for (int pass = 0; pass < 2; ++pass) {
        const ScanStats stats = scan(&rules, &memory, &cache);
        EXPECT_EQ(stats.files_scanned, 300u);
        std::vector<fs::path> found;
        for (const auto& finding : stats.malicious_files) found.push_back(finding.path);
        std::sort(found.begin(), found.end());
        std::sort(marked.begin(), marked.end());
        EXPECT_EQ(found, marked);
    }
    EXPECT_EQ(memory.size(), 300u);
}

// The content changes size while the scan reads it, again and again: each scan of it is a result
// or an error entry, never a crash.
TEST_F(ScanRulesTest, AFileCutShortDuringTheScanIsAnErrorOrAResultNeverACrash) {
    const auto file = bench.write("tree/changing.bin", std::string(8 << 20, 'x'));
    const RuleSet rules = load_rules(kRules);
    std::atomic<bool> done{false};
    std::thread cutter([&] {
        for (std::uintmax_t size = 0; !done.load(); size = (size + 977) % (8 << 20)) {
            std::error_code ignored;
            fs::resize_file(file, size, ignored);
            fs::resize_file(file, 8 << 20, ignored);
        }
    });
    std::uint64_t scanned = 0;
    std::uint64_t errors = 0;
    for (int i = 0; i < 40; ++i) {
        const ScanStats stats = scan(&rules, nullptr);
        EXPECT_EQ(stats.files_scanned + stats.error_count(), 1u);
        scanned += stats.files_scanned;
        errors += stats.error_count();
    }
    done.store(true);
    cutter.join();
    EXPECT_EQ(scanned + errors, 40u);
}

}  // namespace
