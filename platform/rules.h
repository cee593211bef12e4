// Pattern rules (YARA) through libyara: rule texts compiled into one set, a compiled set stored as
// bytes and loaded back, and bytes in memory matched against it, one scanner per thread. Only the
// Linux build has libyara: elsewhere rule_matching_available() is false and every operation below
// fails.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

bool rule_matching_available();

// The version of the rule library, e.g. "4.2.3"; empty where there is none.
std::string rule_library_version();

// One rule text and the namespace its rules are compiled into: rules of different namespaces may
// share a name.
struct RuleText {
    std::string name_space;
    std::string text;
};

struct RuleCompileError {
    static constexpr std::size_t kNoText = ~std::size_t{0};
    std::size_t text = kNoText;  // which of the texts given; kNoText when none is to blame
    int line = 0;                // 0 when the library names none
    std::string message;         // the library's words; empty when it gave none
};

// A compiled rule set. Any number of threads may match against one set at once, each with its own
// RuleScanner.
class CompiledRules {
  public:
    CompiledRules() = default;
    ~CompiledRules();
    CompiledRules(CompiledRules&& other) noexcept;
    CompiledRules& operator=(CompiledRules&& other) noexcept;
    CompiledRules(const CompiledRules&) = delete;
    CompiledRules& operator=(const CompiledRules&) = delete;

    bool empty() const { return rules == nullptr; }
    std::size_t rule_count() const;

    // Compiles the texts, in order, into one set in which each name of `externals` is a string
    // variable (empty until a scanner sets it). An include statement is an error: every text
    // stands alone. False at the first text with an error, which `error` describes, or when the
    // library fails whatever the texts; the set is then left as it was.
    bool compile(const std::vector<RuleText>& texts, const std::vector<std::string>& externals,
                 RuleCompileError& error);

    // The set in its stored form.
    bool save(std::string& stored) const;
    // Replaces the set with one in its stored form. Only for bytes this program stored itself:
    // the library does not defend itself against crafted ones, which can run code.
    bool load(std::string_view stored);

  private:
    friend class RuleScanner;
    void* rules = nullptr;  // the library's set
};

enum class RuleScanOutcome { kDone, kTimedOut, kFailed };

// Matching on one thread. Holds the set it was made for, which must outlive it.
class RuleScanner {
  public:
    // `externals` are the variable names the set was compiled with; `timeout_seconds` bounds each
    // scan (0: no bound).
    RuleScanner(const CompiledRules& rules, std::vector<std::string> externals,
                int timeout_seconds);
    ~RuleScanner();
    RuleScanner(const RuleScanner&) = delete;
    RuleScanner& operator=(const RuleScanner&) = delete;

    bool ok() const { return scanner != nullptr; }

    // Matches `size` bytes with the variables set to `values` (in the order of the names) and
    // appends the names of the matching rules to `matched`, in rule order; a private rule is
    // never named. `matched` holds no names unless the outcome is kDone.
    RuleScanOutcome scan(const unsigned char* data, std::size_t size,
                         const std::vector<std::string>& values, std::vector<std::string>& matched);

  private:
    void* scanner = nullptr;
    std::vector<std::string> externals;
};

// The keyed digest (HMAC-SHA-256) by which the program recognises a stored compiled set as its
// own.
using RuleSeal = std::array<unsigned char, 32>;
bool seal_rules(std::string_view key, std::string_view data, RuleSeal& seal);

// True when the two seals are equal, in a time that does not depend on where they differ.
bool same_seal(const RuleSeal& a, const RuleSeal& b);

enum class RuleKeyFailure {
    kNone,
    kUnavailable,    // this build has no rule library
    kUnreadable,     // it exists but cannot be opened (a symbolic link is refused: ELOOP)
    kNotReplaced,    // it is unfit (see below) and cannot be removed
    kNotCreated,     // a new one could not be created or written
    kNoRandomBytes,  // the system's random source failed
    kChanging,       // another process keeps replacing it
};

struct RuleKeyError {
    RuleKeyFailure failure = RuleKeyFailure::kNone;
    std::error_code system;  // the system's reason, where it gave one
};

// The secret for seal_rules, kept in `file`. It is read when it is fit: a regular file of the right
// size that belongs to the process's user and that no one else may read or write. Otherwise it is
// made anew from the system's random source and stored in place of the unfit file, readable by that
// user alone. False, and why in `error`, when no fit secret can be had.
bool load_or_create_rule_key(const std::filesystem::path& file, std::string& key,
                             RuleKeyError& error);

}  // namespace platform
