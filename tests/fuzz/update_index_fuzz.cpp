// The index parser on arbitrary text (the sources file, or an index from a server): every entry
// is a URL of one word beginning with "http" or "file://", and every header a "Name: value" line
// part with a value, neither holding a line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hashdb/update_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto entries = parse_update_index(text, &error);
    if (entries.size() > size / 4 + 1) std::abort();
    for (const auto& entry : entries) {
        const std::string_view url = entry.url;
        if (!url.starts_with("http") && !url.starts_with("file://")) std::abort();
        if (url.find_first_of(" \t\r\n") != std::string_view::npos) std::abort();
        for (const std::string& header : entry.headers) {
            const std::size_t colon = header.find(": ");
            if (colon == 0 || colon == std::string::npos || colon + 2 == header.size()) {
                std::abort();
            }
            if (header.find_first_of("\r\n") != std::string::npos) std::abort();
        }
    }
    return 0;
}
