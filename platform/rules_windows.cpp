// The Windows build has no rule library (Debian packages libyara for Linux only): no set can be
// compiled, loaded or matched, and nothing compiled is ever stored, so there is no secret to keep.
#include "platform/rules.h"

namespace platform {

bool rule_matching_available() { return false; }

std::string rule_library_version() { return ""; }

CompiledRules::~CompiledRules() = default;

CompiledRules::CompiledRules(CompiledRules&& other) noexcept : rules(other.rules) {
    other.rules = nullptr;
}

CompiledRules& CompiledRules::operator=(CompiledRules&& other) noexcept {
    rules = other.rules;
    other.rules = nullptr;
    return *this;
}

std::size_t CompiledRules::rule_count() const { return 0; }

bool CompiledRules::compile(const std::vector<RuleText>&, const std::vector<std::string>&,
                            RuleCompileError& error) {
    error = RuleCompileError{};
    return false;
}

bool CompiledRules::save(std::string&) const { return false; }

bool CompiledRules::load(std::string_view) { return false; }

RuleScanner::RuleScanner(const CompiledRules&, std::vector<std::string> names, int)
    : externals(std::move(names)) {}

RuleScanner::~RuleScanner() = default;

RuleScanOutcome RuleScanner::scan(const unsigned char*, std::size_t,
                                  const std::vector<std::string>&, std::vector<std::string>&) {
    return RuleScanOutcome::kFailed;
}

bool seal_rules(std::string_view, std::string_view, RuleSeal&) { return false; }

bool load_or_create_rule_key(const std::filesystem::path&, std::string&, RuleKeyError& error) {
    error = RuleKeyError{RuleKeyFailure::kUnavailable, {}};
    return false;
}

}  // namespace platform
