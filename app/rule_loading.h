// The rule set of one run: loaded from the rule folders with its compiled set kept among the data
// files, what was loaded said on the console and in the log, and the memory of earlier matches.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/data_files.h"
#include "hashdb/rule_cache.h"
#include "hashdb/rule_set.h"

class Logger;

// A start-up line about the rules, for the front end to show its own way.
using RuleLineSink = std::function<void(const std::string& line)>;

// Loads the rules of `sources`, keeping the compiled set in `data`'s folder; every start-up line
// goes to the log and to `show`.
RuleSet load_run_rules(const std::vector<std::filesystem::path>& sources, const DataFiles& data,
                       Logger& logger, const RuleLineSink& show, RuleLoadReport& report);

// The memory of earlier matches under `rules`, loaded from `data`'s folder; none without rules.
std::unique_ptr<RuleCache> load_rule_cache(const RuleSet& rules, const DataFiles& data);
