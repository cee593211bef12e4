#include "app/json_lines.h"

#include <cstdint>
#include <cstdio>

#include "platform/autostart.h"

namespace {

// A code point or, where the text is not valid Unicode, the surrogate that stands for the broken
// unit: U+DC00 + byte for a stray UTF-8 byte, the unit itself for an unpaired UTF-16 surrogate.
using CodePoints = std::vector<char32_t>;

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The length of the valid UTF-8 sequence starting at `at` and its code point, or 0.
std::size_t utf8_sequence(std::string_view text, std::size_t at, char32_t& code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || is_surrogate(value)) return 0;
    code_point = value;
    return length;
}

CodePoints decode_utf8(std::string_view bytes) {
    CodePoints points;
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t point = 0;
        const std::size_t length = utf8_sequence(bytes, at, point);
        if (length == 0) {
            points.push_back(0xDC00 + static_cast<unsigned char>(bytes[at]));
            ++at;
        } else {
            points.push_back(point);
            at += length;
        }
    }
    return points;
}

// UTF-16 units (Windows paths); a unit left over from a broken pair is kept as it is.
template <class Unit>
CodePoints decode_utf16(std::basic_string_view<Unit> units) {
    CodePoints points;
    for (std::size_t at = 0; at < units.size(); ++at) {
        const auto unit = static_cast<char32_t>(units[at]);
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < units.size()) {
            const auto low = static_cast<char32_t>(units[at + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                points.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++at;
                continue;
            }
        }
        points.push_back(unit);
    }
    return points;
}

// A path's own characters: bytes on Linux, UTF-16 units on Windows.
template <class Char>
CodePoints decode_native(std::basic_string_view<Char> native) {
    if constexpr (sizeof(Char) == 1) {
        return decode_utf8(native);
    } else {
        return decode_utf16(native);
    }
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Runs of valid text are escaped by the JSON library; each stand-in surrogate between them is
// written as its \u escape, which no valid UTF-8 string can carry.
std::string literal_of(const CodePoints& points) {
    std::string out = "\"";
    std::string run;
    const auto flush = [&] {
        if (run.empty()) return;
        const std::string quoted = nlohmann::json(run).dump();
        out.append(quoted, 1, quoted.size() - 2);
        run.clear();
    };
    for (const char32_t c : points) {
        if (!is_surrogate(c)) {
            append_utf8(run, c);
            continue;
        }
        flush();
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
        out += escape;
    }
    flush();
    return out + "\"";
}

}  // namespace

std::string json_path(const std::filesystem::path& path) {
    using Char = std::filesystem::path::value_type;
    return literal_of(decode_native(std::basic_string_view<Char>(path.native())));
}

std::string json_text(const std::string& narrow) {
    std::filesystem::path path;
    if (platform::path_from_narrow(narrow, path)) return json_path(path);
    return literal_of(decode_utf8(narrow));
}

JsonLine& JsonLine::texts(std::string_view key, const std::vector<std::string>& narrow) {
    std::string array = "[";
    for (const auto& text : narrow) {
        if (array.size() > 1) array += ',';
        array += json_text(text);
    }
    return literal(key, array + "]");
}

JsonLine& JsonLine::literal(std::string_view key, const std::string& json) {
    if (members.size() > 1) members += ',';
    members += nlohmann::json(std::string(key)).dump();
    members += ':';
    members += json;
    return *this;
}
