// The rule library boundary: compiling, storing and matching on Linux, where libyara is; the
// secret that seals stored sets; and the Windows build, which has no rule library and says so.
#include "platform/rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kVariables = {"filename", "owner"};

platform::CompiledRules compiled(const std::string& text) {
    platform::CompiledRules rules;
    platform::RuleCompileError error;
    if (!rules.compile({{"test", text}}, kVariables, error)) {
        throw std::runtime_error("does not compile: " + error.message);
    }
    return rules;
}

std::vector<std::string> matches(const platform::CompiledRules& rules, const std::string& content,
                                 const std::vector<std::string>& values = {"", ""}) {
    platform::RuleScanner scanner(rules, kVariables, 0);
    std::vector<std::string> names;
    const auto outcome = scanner.scan(reinterpret_cast<const unsigned char*>(content.data()),
                                      content.size(), values, names);
    EXPECT_EQ(outcome, platform::RuleScanOutcome::kDone);
    return names;
}

class RuleLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!platform::rule_matching_available()) GTEST_SKIP() << "no rule library in this build";
    }
};

TEST_F(RuleLibraryTest, TextHexAndRegexStringsMatchWhatTheyDescribe) {
    const auto rules = compiled(R"(
        rule Text { strings: $a = "dropper" nocase condition: $a }
        rule Wide { strings: $a = "beacon" wide condition: $a }
        rule HexJump { strings: $h = { 4D 5A [2-4] 90 00 ?? 03 } condition: $h at 0 }
        rule Regex { strings: $r = /evil[0-9]{3}\.(com|net)/ condition: $r }
        private rule Hidden { strings: $a = "dropper" condition: $a }
        rule UsesHidden { condition: Hidden and filesize < 100 }
    )");
    EXPECT_EQ(rules.rule_count(), 6u);
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"case-insensitive text", "a DROPPER b", {"Text"}},
        {"text and a private rule it feeds", "x dropper", {"Text", "UsesHidden"}},
        {"wide text", std::string("b\0e\0a\0c\0o\0n\0", 12), {"Wide"}},
        {"narrow text is not wide", "beacon", {}},
        {"hex with a jump of 2", std::string("MZ\1\2\x90\0\7\3", 8), {"HexJump"}},
        {"hex with a jump of 4", std::string("MZ\1\2\3\4\x90\0\7\3", 10), {"HexJump"}},
        {"hex jump too long", std::string("MZ\1\2\3\4\5\x90\0\7\3", 11), {}},
        {"hex not at 0", std::string("xMZ\1\2\x90\0\7\3", 9), {}},
        {"regex", "see evil123.net now", {"Regex"}},
        {"regex digits short", "see evil12.net now", {}},
        {"nothing", "plain", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(matches(rules, c.content), c.expected) << c.name;
}

TEST_F(RuleLibraryTest, VariablesAreSetForEachScan) {
    const auto rules = compiled(R"(
        rule Named { condition: filename == "a.exe" }
        rule Owned { condition: owner == "root" and filename != "a.exe" }
    )");
    platform::RuleScanner scanner(rules, kVariables, 0);
    const std::string content = "data";
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    std::vector<std::string> names;
    EXPECT_EQ(scanner.scan(bytes, content.size(), {"a.exe", "root"}, names),
              platform::RuleScanOutcome::kDone);
    EXPECT_EQ(names, std::vector<std::string>{"Named"});
    names.clear();
    EXPECT_EQ(scanner.scan(bytes, content.size(), {"b.exe", "root"}, names),
              platform::RuleScanOutcome::kDone);
    EXPECT_EQ(names, std::vector<std::string>{"Owned"});
    EXPECT_EQ(scanner.scan(bytes, content.size(), {"too few"}, names),
              platform::RuleScanOutcome::kFailed);
}

TEST_F(RuleLibraryTest, CompileErrorsNameTheTextAndLineAndIncludesAreRefused) {
    struct Case {
        const char* name;
        std::string second_text;
        int line;
        std::string message_part;
    };
    const Case cases[] = {
        {"undefined string", "rule A { condition: true }\n\nrule B { condition: $b }", 3,
         "undefined string"},
        {"syntax", "rule {", 1, "syntax error"},
        {"include", "include \"other.yar\"\nrule C { condition: true }", 1, "includes"},
        {"undefined variable", "rule D { condition: nosuch == \"x\" }", 1, "undefined"},
    };
    for (const auto& c : cases) {
        platform::CompiledRules rules = compiled("rule Kept { condition: true }");
        platform::RuleCompileError error;
        EXPECT_FALSE(rules.compile(
            {{"one", "rule Fine { condition: true }"}, {"two", c.second_text}}, kVariables, error))
            << c.name;
        EXPECT_EQ(error.text, 1u) << c.name;
        EXPECT_EQ(error.line, c.line) << c.name;
        EXPECT_NE(error.message.find(c.message_part), std::string::npos)
            << c.name << ": " << error.message;
        // A failed compilation leaves the set as it was.
        EXPECT_EQ(matches(rules, "x"), std::vector<std::string>{"Kept"}) << c.name;
    }
}

TEST_F(RuleLibraryTest, RulesOfDifferentNamespacesMayShareANameAndTheSetLoadsBackFromItsBytes) {
    platform::CompiledRules rules;
    platform::RuleCompileError error;
    ASSERT_TRUE(rules.compile({{"a", "rule Same { strings: $a = \"one\" condition: $a }"},
                               {"b", "rule Same { strings: $a = \"two\" condition: $a }"}},
                              kVariables, error));
    std::string stored;
    ASSERT_TRUE(rules.save(stored));
    platform::CompiledRules loaded;
    ASSERT_TRUE(loaded.load(stored));
    EXPECT_EQ(loaded.rule_count(), 2u);
    EXPECT_EQ(matches(loaded, "one two"), (std::vector<std::string>{"Same", "Same"}));
    EXPECT_EQ(matches(loaded, "two"), std::vector<std::string>{"Same"});
    EXPECT_FALSE(loaded.load(stored.substr(0, stored.size() / 2)));
    EXPECT_EQ(loaded.rule_count(), 2u);
}

TEST_F(RuleLibraryTest, AScanThatRunsOutOfTimeSaysSo) {
    // A loop over far more values than one second allows.
    const auto rules = compiled(R"(
        rule Slow { condition: for all i in (0..10000000000) : (uint8(i % filesize) < 255 or true) }
    )");
    platform::RuleScanner scanner(rules, kVariables, 1);
    const std::string content(100, 'a');
    std::vector<std::string> names{"earlier"};
    EXPECT_EQ(scanner.scan(reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                           {"", ""}, names),
              platform::RuleScanOutcome::kTimedOut);
    EXPECT_EQ(names, std::vector<std::string>{"earlier"});
}

TEST_F(RuleLibraryTest, TwoThreadsMatchAgainstOneSetAtOnce) {
    const auto rules = compiled(R"(
        rule Even { strings: $a = "even" condition: $a }
        rule Odd { strings: $a = /odd[0-9]+/ condition: $a and filename != "" }
    )");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            platform::RuleScanner scanner(rules, kVariables, 0);
            for (int i = 0; i < 2000; ++i) {
                const bool odd = (i + t) % 2 == 1;
                const std::string content =
                    odd ? "x odd" + std::to_string(i) : "x even " + std::to_string(i);
                std::vector<std::string> names;
                scanner.scan(reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                             {"f" + std::to_string(i), ""}, names);
                if (names != std::vector<std::string>{odd ? "Odd" : "Even"}) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(RuleLibraryTest, TheKeyIsOwnerOnlyAndAnUnfitOneIsReplaced) {
    test_support::TempDir dir;
    const fs::path file = dir / "rule_key.bin";
    std::string key;
    platform::RuleKeyError error;
    ASSERT_TRUE(platform::load_or_create_rule_key(file, key, error));
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    std::string again;
    ASSERT_TRUE(platform::load_or_create_rule_key(file, again, error));
    EXPECT_EQ(again, key);

    // Readable by others, or cut short: no longer a secret, or no longer whole.
    fs::permissions(file, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    ASSERT_TRUE(platform::load_or_create_rule_key(file, again, error));
    EXPECT_NE(again, key);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    dir.write("rule_key.bin", "short");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(platform::load_or_create_rule_key(file, key, error));
    EXPECT_EQ(key.size(), 32u);
    EXPECT_NE(key, again);

    // A link is never followed, whatever it leads to.
    const fs::path link = dir / "linked_key.bin";
    fs::create_symlink(file, link);
    EXPECT_FALSE(platform::load_or_create_rule_key(link, again, error));
    EXPECT_EQ(error.failure, platform::RuleKeyFailure::kUnreadable);
}

TEST_F(RuleLibraryTest, TheSealDependsOnKeyAndData) {
    platform::RuleSeal a{}, b{}, c{}, d{};
    ASSERT_TRUE(platform::seal_rules("key one", "data", a));
    ASSERT_TRUE(platform::seal_rules("key one", "data", b));
    ASSERT_TRUE(platform::seal_rules("key two", "data", c));
    ASSERT_TRUE(platform::seal_rules("key one", "datb", d));
    EXPECT_TRUE(platform::same_seal(a, b));
    EXPECT_FALSE(platform::same_seal(a, c));
    EXPECT_FALSE(platform::same_seal(a, d));
    // RFC 4231, test case 2.
    platform::RuleSeal known{};
    ASSERT_TRUE(platform::seal_rules("Jefe", "what do ya want for nothing?", known));
    const unsigned char expected[32] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e,
                                        0x6a, 0x04, 0x24, 0x26, 0x08, 0x95, 0x75, 0xc7,
                                        0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27, 0x39, 0x83,
                                        0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
    EXPECT_TRUE(std::equal(known.begin(), known.end(), expected));
}

TEST(RuleLibraryAbsentTest, WithoutTheLibraryNothingCompilesAndNoKeyIsMade) {
    if (platform::rule_matching_available()) GTEST_SKIP() << "this build has the rule library";
    EXPECT_EQ(platform::rule_library_version(), "");
    platform::CompiledRules rules;
    platform::RuleCompileError error;
    EXPECT_FALSE(rules.compile({{"a", "rule A { condition: true }"}}, kVariables, error));
    EXPECT_TRUE(rules.empty());
    test_support::TempDir dir;
    std::string key;
    platform::RuleKeyError key_error;
    EXPECT_FALSE(platform::load_or_create_rule_key(dir / "rule_key.bin", key, key_error));
    EXPECT_EQ(key_error.failure, platform::RuleKeyFailure::kUnavailable);
    EXPECT_FALSE(fs::exists(dir / "rule_key.bin"));
}

}  // namespace
