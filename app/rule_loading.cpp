#include "app/rule_loading.h"

#include "console/logger.h"

RuleSet load_run_rules(const std::vector<std::filesystem::path>& sources, const DataFiles& data,
                       Logger& logger, const RuleLineSink& show, RuleLoadReport& report) {
    const KeptRuleFiles kept{data.compiled_rules(), data.rule_key()};
    RuleSet rules = RuleSet::load(sources, kept, report);
    for (const auto& line : describe_rule_load(report)) {
        show(line);
        logger.log(line);
    }
    for (const auto& line : describe_rule_keeping(report)) logger.log(line);
    return rules;
}

std::unique_ptr<RuleCache> load_rule_cache(const RuleSet& rules, const DataFiles& data) {
    if (!rules.active() || rules.identity().empty()) return nullptr;
    auto cache = std::make_unique<RuleCache>(data.rule_cache(), rules.identity());
    cache->load();
    return cache;
}
