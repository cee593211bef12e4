// The cache loader on arbitrary bytes: it must never crash, loop or allocate beyond the input, and
// whatever it accepts must be written back as exactly the bytes it consumed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "hashdb/hash_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<CacheEntry> entries;
    if (!parse_hash_cache(input, entries)) {
        if (!entries.empty()) std::abort();
        return 0;
    }
    if (input.empty()) {
        if (!entries.empty()) std::abort();
        return 0;
    }
    const std::string written = serialize_hash_cache(entries);
    if (written.size() > input.size() || input.substr(0, written.size()) != written) std::abort();
    return 0;
}
