// The rule cache loader on arbitrary bytes: it must never crash, loop or allocate far beyond the
// input, and whatever it accepts must read back the same from its own serialisation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hashdb/rule_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string rule_set = "untouched";
    std::vector<RuleCacheEntry> entries;
    if (!parse_rule_cache(input, rule_set, entries)) {
        if (rule_set != "untouched" || !entries.empty()) std::abort();
        return 0;
    }
    // Outcomes are numbered afresh, so the bytes may differ; what they say may not.
    std::string again_set;
    std::vector<RuleCacheEntry> again;
    if (!parse_rule_cache(serialize_rule_cache(rule_set, entries), again_set, again)) std::abort();
    if (again_set != rule_set || again.size() != entries.size()) std::abort();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (again[i].key != entries[i].key || again[i].stamp != entries[i].stamp ||
            again[i].rules != entries[i].rules) {
            std::abort();
        }
    }
    return 0;
}
