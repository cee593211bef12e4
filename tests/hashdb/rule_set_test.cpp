// Rule sets from rule folders: which files load, what a broken file costs, the start-up lines, the
// compiled set kept between runs (reused, rebuilt, refused), and matching one file.
#include "hashdb/rule_set.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

class RuleSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!platform::rule_matching_available()) GTEST_SKIP() << "no rule library in this build";
    }

    RuleSet load(const std::vector<fs::path>& sources, bool keep = true) {
        const KeptRuleFiles kept{keep ? dir / "compiled_rules.bin" : fs::path(),
                                 dir / "rule_key.bin"};
        return RuleSet::load(sources, kept, report);
    }

    std::vector<std::string> match(const RuleSet& set, const std::string& name,
                                   const std::string& content) {
        const RuleMatch found = match_file_against_rules(set, dir.write("files/" + name, content));
        EXPECT_EQ(found.outcome, RuleOutcome::kDone) << found.error;
        return found.rules;
    }

    // A rule file whose last-write time is moved on, as an edit a moment later would.
    void rewrite(const std::string& relative, const std::string& text) {
        const fs::path file = dir.write(relative, text);
        fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
    }

    test_support::TempDir dir;
    RuleLoadReport report;
};

TEST_F(RuleSetTest, ABrokenFileIsReportedWithItsLineAndTheOthersStillLoad) {
    dir.write("rules/a_good.yar", "rule GoodA { strings: $a = \"alpha\" condition: $a }\n");
    dir.write("rules/b_broken.yar",
              "rule Fine { condition: true }\n\nrule Broken { condition: $missing }\n");
    dir.write("rules/c_good.yara", "rule GoodC { strings: $c = \"gamma\" condition: $c }\n");
    dir.write("rules/d_broken.yar", "rule {\n");
    dir.write("rules/sub/e_good.YAR", "rule GoodE { strings: $e = \"epsilon\" condition: $e }\n");
    dir.write("rules/notes.txt", "rule NotLoaded { condition: true }\n");

    const RuleSet set = load({dir / "rules"});
    ASSERT_TRUE(set.active());
    EXPECT_EQ(report.files_found, 5u);
    EXPECT_EQ(report.files_loaded, 3u);
    EXPECT_EQ(report.rules, 3u);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.problems[0].file, (dir / "rules/b_broken.yar").string());
    EXPECT_EQ(report.problems[0].line, 3);
    EXPECT_EQ(report.problems[1].file, (dir / "rules/d_broken.yar").string());
    EXPECT_EQ(report.problems[1].line, 1);
    EXPECT_EQ(match(set, "x.bin", "alpha gamma epsilon"),
              (std::vector<std::string>{"GoodA", "GoodC", "GoodE"}));
    EXPECT_EQ(match(set, "y.bin", "true for Fine alone"), std::vector<std::string>{});

    const auto lines = describe_rule_load(report);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[WARN] Rules file " + (dir / "rules/b_broken.yar").string() +
                            " line 3: undefined string \"$missing\"");
    EXPECT_EQ(lines[1].rfind("[WARN] Rules file " + (dir / "rules/d_broken.yar").string() +
                                 " line 1: syntax error",
                             0),
              0u)
        << lines[1];
    EXPECT_EQ(lines[2], "[INIT] Loaded 3 rules from 3 files.");
}

TEST_F(RuleSetTest, EveryExternalVariableIsSetFromTheFile) {
    dir.write("rules/vars.yar", R"(
        rule ByName { condition: filename == "invoice.pdf.exe" }
        rule ByPath { condition: filepath endswith "/files/deep/tool.sh" }
        rule ByExtension { condition: extension == ".exe" }
        rule ByType { condition: filetype == "ELF" }
        rule Script { condition: filetype == "SCRIPT" }
        rule ByOwner { condition: owner != "" }
    )");
    const RuleSet set = load({dir / "rules"});
    ASSERT_TRUE(set.active());
    // The tests run as a user with a name; Windows files have no owner.
    EXPECT_EQ(match(set, "invoice.pdf.EXE", "MZ..."),
              (std::vector<std::string>{"ByExtension", "ByOwner"}));
    EXPECT_EQ(match(set, "invoice.pdf.exe", "data"),
              (std::vector<std::string>{"ByName", "ByExtension", "ByOwner"}));
    EXPECT_EQ(match(set, "deep/tool.sh", "#!/bin/sh\n"),
              (std::vector<std::string>{"ByPath", "Script", "ByOwner"}));
    EXPECT_EQ(match(set, "lib.so",
                    "\x7f"
                    "ELF\2\1\1"),
              (std::vector<std::string>{"ByType", "ByOwner"}));
}

TEST_F(RuleSetTest, FileTypesFromTheFirstBytes) {
    const struct {
        std::string bytes;
        const char* type;
    } cases[] = {
        {"MZ\x90", "EXE"},
        {"\x7f"
         "ELF",
         "ELF"},
        {"PK\x03\x04", "ZIP"},
        {"PK\x05\x06", "ZIP"},
        {"%PDF-1.7", "PDF"},
        {"#!/bin/sh", "SCRIPT"},
        {"M", ""},
        {"\x7f"
         "EL",
         ""},
        {"PK\x01\x02", ""},
        {"", ""},
        {"ZM", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            file_type_of(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()),
            c.type)
            << c.bytes;
    }
}

TEST_F(RuleSetTest, NoRuleFilesOrNoUsableRuleIsNoRuleSet) {
    fs::create_directories(dir / "empty");
    EXPECT_FALSE(load({dir / "empty", dir / "missing"}).active());
    EXPECT_EQ(report.missing_sources, std::vector<std::string>{(dir / "missing").string()});
    EXPECT_EQ(
        describe_rule_load(report),
        std::vector<std::string>{"[INIT] No rules loaded: no rule files (*.yar, *.yara) found."});

    dir.write("broken/only.yar", "rule X { condition: $nope }\n");
    dir.write("broken/comments.yar", "// nothing but a comment\n");
    EXPECT_FALSE(load({dir / "broken"}).active());
    EXPECT_FALSE(fs::exists(dir / "compiled_rules.bin"));
    const auto lines = describe_rule_load(report);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[WARN] No rules loaded: none of the 2 rule files holds a usable rule.");

    // A file named directly is loaded whatever its name.
    dir.write("named.rules", "rule Named { condition: true }\n");
    EXPECT_TRUE(load({dir / "named.rules"}).active());
    EXPECT_EQ(describe_rule_load(report),
              std::vector<std::string>{"[INIT] Loaded 1 rule from 1 file."});
}

TEST_F(RuleSetTest, TheCompiledSetIsReusedUntilARuleFileChanges) {
    dir.write("rules/one.yar", "rule One { strings: $a = \"first\" condition: $a }\n");
    dir.write("rules/two.yar", "rule Two { strings: $a = \"second\" condition: $a }\n");
    dir.write("rules/bad.yar", "rule Bad {\n");
    const RuleSet first = load({dir / "rules"});
    ASSERT_TRUE(first.active());
    EXPECT_FALSE(report.reused);
    EXPECT_EQ(report.keeping_problem, "");
    ASSERT_TRUE(fs::exists(dir / "compiled_rules.bin"));

    const RuleSet second = load({dir / "rules"});
    EXPECT_TRUE(report.reused);
    EXPECT_EQ(report.reuse_problem, "");
    EXPECT_EQ(second.identity(), first.identity());
    EXPECT_EQ(match(second, "a", "first second"), (std::vector<std::string>{"One", "Two"}));
    // The broken file is still reported, though nothing was compiled.
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].file, (dir / "rules/bad.yar").string());
    EXPECT_EQ(describe_rule_load(report).back(), "[INIT] Loaded 2 rules from 2 files.");
    // The same folder spelt another way holds the same set.
    EXPECT_EQ(load({dir / "rules" / ".." / "rules" / ""}).identity(), first.identity());
    EXPECT_TRUE(report.reused);

    rewrite("rules/two.yar", "rule Two { strings: $a = \"changed\" condition: $a }\n");
    const RuleSet third = load({dir / "rules"});
    EXPECT_FALSE(report.reused);
    EXPECT_NE(third.identity(), first.identity());
    EXPECT_EQ(match(third, "b", "first second changed"), (std::vector<std::string>{"One", "Two"}));
    EXPECT_EQ(match(third, "c", "second"), std::vector<std::string>{});
    EXPECT_TRUE(load({dir / "rules"}).active());
    EXPECT_TRUE(report.reused);

    // A new file, a removed one, another folder: each is another set.
    dir.write("rules/three.yar", "rule Three { condition: false }\n");
    load({dir / "rules"});
    EXPECT_FALSE(report.reused);
    fs::remove(dir / "rules/three.yar");
    load({dir / "rules"});
    EXPECT_FALSE(report.reused);
    dir.write("more/four.yar", "rule Four { condition: false }\n");
    load({dir / "rules", dir / "more"});
    EXPECT_FALSE(report.reused);
    EXPECT_EQ(report.rules, 3u);

    // The same rule texts give the same identity, whenever they are compiled.
    rewrite("rules/two.yar", "rule Two { strings: $a = \"changed\" condition: $a }\n");
    EXPECT_EQ(load({dir / "rules"}).identity(), third.identity());
    EXPECT_FALSE(report.reused);
}

TEST_F(RuleSetTest, ACompiledFileTheProgramDidNotWriteIsRefused) {
    dir.write("rules/one.yar", "rule One { strings: $a = \"first\" condition: $a }\n");
    const fs::path kept = dir / "compiled_rules.bin";
    ASSERT_TRUE(load({dir / "rules"}).active());
    const std::string ours = test_support::read_file(kept);

    // The library's own stored form, as its compiler tool writes it.
    platform::CompiledRules foreign;
    platform::RuleCompileError error;
    ASSERT_TRUE(foreign.compile({{"x", "rule Planted { condition: true }"}}, {}, error));
    std::string stored;
    ASSERT_TRUE(foreign.save(stored));

    KeptRules parsed;
    ASSERT_TRUE(parse_kept_rules(ours, parsed));
    KeptRules forged = parsed;
    forged.compiled = stored;
    struct Case {
        const char* name;
        std::string content;
        const char* why;
    };
    const Case cases[] = {
        {"the library's stored form", stored, "not a kept rule set"},
        {"our layout sealed with another key", serialize_kept_rules(forged, std::string(32, 'k')),
         "not sealed by this installation"},
        {"our file without its seal", ours.substr(0, ours.size() - 1), "not a kept rule set"},
        {"a byte changed",
         [&] {
             std::string changed = ours;
             changed[changed.size() / 2] ^= 1;
             return changed;
         }(),
         "not sealed by this installation"},
    };
    for (const auto& c : cases) {
        dir.write("compiled_rules.bin", c.content);
        const RuleSet set = load({dir / "rules"});
        EXPECT_FALSE(report.reused) << c.name;
        EXPECT_EQ(report.reuse_problem, kept.string() + ": " + c.why) << c.name;
        EXPECT_EQ(match(set, "f", "first"), std::vector<std::string>{"One"}) << c.name;
        // It was compiled afresh and kept in place of the refused file.
        load({dir / "rules"});
        EXPECT_TRUE(report.reused) << c.name;
    }

    // A new secret makes every earlier seal worthless.
    fs::remove(dir / "rule_key.bin");
    load({dir / "rules"});
    EXPECT_FALSE(report.reused);
    EXPECT_EQ(report.reuse_problem, kept.string() + ": not sealed by this installation");
}

TEST_F(RuleSetTest, WithoutAKeptFileNothingIsWritten) {
    dir.write("rules/one.yar", "rule One { condition: true }\n");
    EXPECT_TRUE(load({dir / "rules"}, /*keep=*/false).active());
    EXPECT_FALSE(fs::exists(dir / "compiled_rules.bin"));
    EXPECT_FALSE(fs::exists(dir / "rule_key.bin"));
}

TEST_F(RuleSetTest, MatchingOneFileSaysWhatStoppedIt) {
    dir.write("rules/r.yar", R"(
        rule Any { strings: $a = "needle" condition: $a }
        rule Slow {
            condition: filename == "slow.bin" and
                       for all i in (0..10000000000) : (uint8(i % filesize) < 255 or true)
        }
    )");
    const RuleSet set = load({dir / "rules"});
    RuleMatchOptions options;
    options.max_file_size = 10;
    options.timeout_seconds = 1;
    const RuleMatch small = match_file_against_rules(set, dir.write("s.bin", "a needle"), options);
    EXPECT_EQ(small.outcome, RuleOutcome::kDone);
    EXPECT_EQ(small.rules, std::vector<std::string>{"Any"});
    EXPECT_EQ(
        match_file_against_rules(set, dir.write("l.bin", "a needle, larger"), options).outcome,
        RuleOutcome::kTooLarge);
    const RuleMatch missing = match_file_against_rules(set, dir / "none.bin", options);
    EXPECT_EQ(missing.outcome, RuleOutcome::kFailed);
    EXPECT_NE(missing.error.find("cannot open"), std::string::npos) << missing.error;
    const RuleMatch slow = match_file_against_rules(set, dir.write("slow.bin", "x"), options);
    EXPECT_EQ(slow.outcome, RuleOutcome::kTimedOut);
    EXPECT_EQ(slow.error, kRuleTimeoutText);
    EXPECT_TRUE(match_file_against_rules(RuleSet(), dir / "s.bin").rules.empty());
}

TEST_F(RuleSetTest, TheKeptLayoutReadsBackAndEveryShortenedFormIsRefused) {
    KeptRules kept;
    kept.fingerprint = "finger";
    kept.identity = "id";
    kept.files_loaded = 3;
    kept.problems = {{"a.yar", 4, "bad"}, {"b.yar", 0, "unreadable"}};
    kept.compiled = "compiled bytes";
    const std::string data = serialize_kept_rules(kept, "key");
    KeptRules parsed;
    ASSERT_TRUE(parse_kept_rules(data, parsed));
    EXPECT_EQ(parsed.fingerprint, "finger");
    EXPECT_EQ(parsed.identity, "id");
    EXPECT_EQ(parsed.files_loaded, 3u);
    ASSERT_EQ(parsed.problems.size(), 2u);
    EXPECT_EQ(parsed.problems[0].file, "a.yar");
    EXPECT_EQ(parsed.problems[0].line, 4);
    EXPECT_EQ(parsed.problems[1].message, "unreadable");
    EXPECT_EQ(parsed.compiled, "compiled bytes");
    EXPECT_EQ(parsed.sealed, std::string_view(data).substr(0, data.size() - 32));
    platform::RuleSeal seal{};
    ASSERT_TRUE(platform::seal_rules("key", parsed.sealed, seal));
    EXPECT_TRUE(platform::same_seal(seal, parsed.seal));
    for (std::size_t length = 0; length < data.size(); ++length) {
        EXPECT_FALSE(parse_kept_rules(std::string_view(data).substr(0, length), parsed)) << length;
    }
    EXPECT_FALSE(parse_kept_rules(data + "x", parsed));
}

TEST(RuleSetWithoutLibraryTest, RuleFilesAreCountedAndTheBuildSaysItCannotMatch) {
    if (platform::rule_matching_available()) GTEST_SKIP() << "this build has the rule library";
    test_support::TempDir dir;
    RuleLoadReport report;
    const KeptRuleFiles kept{dir / "compiled_rules.bin", dir / "rule_key.bin"};
    fs::create_directories(dir / "none");
    EXPECT_FALSE(RuleSet::load({dir / "none"}, kept, report).active());
    EXPECT_EQ(describe_rule_load(report), std::vector<std::string>{});
    dir.write("rules/a.yar", "rule A { condition: true }\n");
    EXPECT_FALSE(RuleSet::load({dir / "rules"}, kept, report).active());
    EXPECT_TRUE(report.unavailable);
    EXPECT_EQ(describe_rule_load(report),
              std::vector<std::string>{"[WARN] Rule matching is not available in this build."});
    EXPECT_FALSE(fs::exists(dir / "compiled_rules.bin"));
}

}  // namespace
