#include "hashdb/update_settings.h"

#include <cstdlib>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The characters of a header name (an HTTP token).
bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    for (char allowed : std::string_view("!#$%&'*+-.^_`|~")) {
        if (c == allowed) return true;
    }
    return false;
}

bool is_header_name(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (!is_token_char(c)) return false;
    }
    return true;
}

// Splits what follows a URL into headers. False, with the reason, for text that is not one.
bool parse_headers(std::string_view rest, std::vector<std::string>& headers, std::string& why) {
    std::string name;
    std::string value;
    const auto finish = [&]() {
        if (name.empty()) return true;
        if (value.empty()) {
            why = "header " + name + " has no value";
            return false;
        }
        headers.push_back(name + ": " + value);
        name.clear();
        value.clear();
        return true;
    };
    std::size_t at = 0;
    while (at < rest.size()) {
        while (at < rest.size() && is_blank(rest[at])) ++at;
        std::size_t end = at;
        while (end < rest.size() && !is_blank(rest[end])) ++end;
        if (end == at) break;
        const std::string_view word = rest.substr(at, end - at);
        at = end;
        const std::size_t colon = word.find(':');
        // "Name:" begins a header; so does "Name:value" where no header has begun yet.
        const bool starts_header = colon != std::string_view::npos &&
                                   is_header_name(word.substr(0, colon)) &&
                                   (colon + 1 == word.size() || name.empty());
        if (starts_header) {
            if (!finish()) return false;
            name = std::string(word.substr(0, colon));
            value = std::string(word.substr(colon + 1));
        } else if (name.empty()) {
            // Built apart and moved in: GCC 12 at -O3 misreads "literal" + std::string written
            // into a caller's string as an overlapping copy (its bug 105329).
            std::string text(1, '"');
            text.append(word);
            text.append("\" after the URL is not a request header (Name: value)");
            why = std::move(text);
            return false;
        } else {
            if (!value.empty()) value += ' ';
            value += word;
        }
    }
    return finish();
}

}  // namespace

UpdateSettings UpdateSettings::from_environment() {
    UpdateSettings settings;
    settings.index_url = environment("QUORVEX_UPDATE_URL");
    settings.ca_bundle = environment("CURL_CA_BUNDLE");
    return settings;
}

std::vector<IndexEntry> parse_update_index(std::string_view body, std::string* error) {
    std::vector<IndexEntry> entries;
    std::size_t start = 0;
    std::size_t line_number = 1;
    std::size_t counted_to = 0;
    while (start < body.size()) {
        std::size_t end = body.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(start, end - start);
        for (; counted_to < start; ++counted_to) line_number += body[counted_to] == '\n' ? 1 : 0;
        if (line.starts_with("http") || line.starts_with("file://")) {
            std::size_t url_end = 0;
            while (url_end < line.size() && !is_blank(line[url_end])) ++url_end;
            IndexEntry entry{std::string(line.substr(0, url_end)), {}};
            std::string why;
            if (parse_headers(line.substr(url_end), entry.headers, why)) {
                entries.push_back(std::move(entry));
            } else if (error != nullptr && error->empty()) {
                *error = "line " + std::to_string(line_number) + ": " + why;
            }
        }
        start = body.find_first_not_of("\r\n", end);
        if (start == std::string_view::npos) break;
    }
    return entries;
}
