// The reader of a kept compiled rule set on arbitrary bytes: it must never crash, loop or allocate
// far beyond the input, and the seal it reports must cover exactly the bytes before it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hashdb/rule_set.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    KeptRules kept;
    if (!parse_kept_rules(input, kept)) return 0;
    if (kept.sealed.size() + kept.seal.size() != input.size() ||
        kept.sealed.data() != input.data()) {
        std::abort();
    }
    const auto inside = [&](std::string_view part) {
        return part.empty() || (part.data() >= input.data() &&
                                part.data() + part.size() <= input.data() + kept.sealed.size());
    };
    if (!inside(kept.fingerprint) || !inside(kept.identity) || !inside(kept.compiled)) std::abort();
    return 0;
}
