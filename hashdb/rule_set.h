// Pattern rules (YARA) for the scan and the autostart check: the rule files of some folders,
// compiled into one set that the workers share, and that compiled set kept between runs, so that a
// start with unchanged rule files does not compile them again. Also the matching of one file's
// content against the set, with the variables rules may ask about the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_hash.h"
#include "platform/rules.h"

// The string variables every rule may use, set for each file: its name, its whole path, its
// extension (lower case, with the dot), a short type from its first bytes (see file_type_of) and
// its owner's user name (empty where files have none).
inline constexpr std::array<const char*, 5> kRuleVariables = {"filename", "filepath", "extension",
                                                              "filetype", "owner"};

// Where a compiled set is kept between runs, and the secret that marks it as the program's own.
struct KeptRuleFiles {
    std::filesystem::path compiled;  // empty: nothing is kept
    std::filesystem::path key;
};

// A rule file (or folder) whose rules are not in the set, and why.
struct RuleFileProblem {
    std::string file;  // its path as messages show it
    int line = 0;      // 0: the problem has no line
    std::string message;
};

// What loading a rule set found, for the start-up lines and the log.
struct RuleLoadReport {
    std::size_t files_found = 0;   // rule files among the sources
    std::size_t files_loaded = 0;  // those whose rules are in the set
    std::size_t rules = 0;
    std::vector<RuleFileProblem> problems;
    std::vector<std::string> missing_sources;  // sources that do not exist
    bool unavailable = false;     // rule files were found, but this build cannot match rules
    bool reused = false;          // the kept compiled set was loaded instead of compiling
    std::string reuse_problem;    // why a kept compiled set was refused
    std::string keeping_problem;  // why a fresh compilation could not be kept
};

class RuleSet {
  public:
    RuleSet() = default;  // no rules: nothing is matched

    // Loads every "*.yar" and "*.yara" file below the folders among `sources` (files named
    // directly are loaded whatever their name). A file that does not compile is left out and the
    // others still load. With `kept.compiled` set, a compiled set kept there for exactly these
    // files (same names, sizes and times, same rule library) is loaded instead of compiling, and a
    // fresh compilation is kept there for the next start.
    static RuleSet load(const std::vector<std::filesystem::path>& sources,
                        const KeptRuleFiles& kept, RuleLoadReport& report);

    // True when the set holds a rule: a set without one is no rule set.
    bool active() const { return !compiled.empty() && compiled.rule_count() != 0; }
    std::size_t rule_count() const { return compiled.rule_count(); }
    // What tells this set from any other: a digest of the rule texts it was compiled from and of
    // everything else that decides what it finds.
    const std::string& identity() const { return digest; }
    const platform::CompiledRules& rules() const { return compiled; }

  private:
    platform::CompiledRules compiled;
    std::string digest;
};

// The start-up lines of a load, in order, each with its tag: the problems, then what was loaded
// (or why nothing was).
std::vector<std::string> describe_rule_load(const RuleLoadReport& report);

// The log's lines on the compiled set: reused or compiled afresh, a kept set refused, a fresh one
// that could not be kept.
std::vector<std::string> describe_rule_keeping(const RuleLoadReport& report);

// Matching one file against the set.
struct RuleMatchOptions {
    std::uint64_t max_file_size = std::uint64_t{64} << 20;  // larger files are not matched
    int timeout_seconds = 10;                               // for one file
};

enum class RuleOutcome { kDone, kTooLarge, kTimedOut, kFailed };

struct RuleMatch {
    RuleOutcome outcome = RuleOutcome::kDone;
    std::vector<std::string> rules;  // the rules that matched (kDone only), each name once
    std::string error;               // why matching failed, in words (kTimedOut, kFailed)
};

// How files left unmatched for their size are counted in summaries and the log: "N files not
// matched against rules (larger than the limit)".
std::string rules_too_large_text(std::uint64_t files);

// The error text of a match that ran out of time.
inline constexpr const char kRuleTimeoutText[] = "rule matching timed out";

// What one worker needs to match files: its own scanner, and a buffer for the whole content of a
// file that it reuses from file to file. Holds the set, which must outlive it.
class RuleMatcher {
  public:
    RuleMatcher(const RuleSet& set, const RuleMatchOptions& options);

    // Where a file is read before it is matched; its limit is the options' maximum size.
    platform::WholeFile& buffer() { return content; }

    // Matches the content in buffer(), the whole of the file at `path`.
    RuleMatch match(const std::filesystem::path& path);

  private:
    platform::RuleScanner scanner;
    platform::WholeFile content;
    std::vector<std::string> values;
    std::vector<std::string> names;
};

// Reads the file at `path` once and matches it against the set; for the autostart check, which
// matches a few files on the calling thread.
RuleMatch match_file_against_rules(const RuleSet& set, const std::filesystem::path& path,
                                   const RuleMatchOptions& options = {});

// The short type of a file from its first bytes: "EXE" (MZ), "ELF", "ZIP", "PDF", "SCRIPT" (#!),
// or empty.
std::string file_type_of(const unsigned char* data, std::size_t size);

// The kept form of a compiled set: what it was compiled from and what that gave, the compiled
// bytes, and the seal over all of it.
struct KeptRules {
    std::string_view fingerprint;  // the rule files' names, sizes and times, the library version
    std::string_view identity;     // RuleSet::identity
    std::uint64_t files_loaded = 0;
    std::vector<RuleFileProblem> problems;
    std::string_view compiled;
    std::string_view sealed;  // the bytes the seal covers
    platform::RuleSeal seal{};
};

// The layout: the 8 bytes "QVXRULES", a 64-bit format version (1), the fingerprint, the
// identity, the number of files loaded, the problems (a count, then per problem the file, the
// line and the message), the compiled bytes, and the 32-byte seal of everything before it. Texts
// carry a 64-bit length; integers are little-endian.
std::string serialize_kept_rules(const KeptRules& kept, std::string_view key);

// Reads that layout without checking the seal. False when the data is short, a length exceeds
// what is left, or the magic or version differs; never allocates more than the data's size.
bool parse_kept_rules(std::string_view data, KeptRules& kept);
