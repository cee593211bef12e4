// Where and how the database update downloads its lists, and the format of the index that names
// them. The defaults are the real limits; tests point the settings at a local server and shorten
// the time-outs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct UpdateSettings {
    // The index naming the hash lists, on a server or a file:// URL. Empty: the local sources file
    // (DatabaseFiles::sources) is the index.
    std::string index_url;
    std::string ca_bundle;  // CA certificates to trust instead of the system's; empty = system
    long connect_timeout_seconds = 30;  // giving up on a server that does not accept the connection
    long stall_timeout_seconds = 60;    // giving up on a transfer that makes no progress
    std::uint64_t max_body_bytes = 512ull << 20;  // cap on the index and on all lists of one update

    // The defaults, with QUORVEX_UPDATE_URL naming the index URL and CURL_CA_BUNDLE the CA bundle
    // when they are set.
    static UpdateSettings from_environment();
};

// One hash list of an index: its URL and the request headers it needs ("Name: value").
struct IndexEntry {
    std::string url;
    std::vector<std::string> headers;

    bool operator==(const IndexEntry&) const = default;
};

// The hash lists of an index body. Lines are split at any run of CR and LF. A line names a list
// when it begins with the lowercase "http" or "file://" (so '#' comments, leading blanks and
// other text do not): the URL runs to the first blank or tab, and what follows are request headers,
// each a name ending in ':' and its value ("Auth-Key: abc  Accept: text/plain"). A last line
// without a line break counts too. A list line with text after the URL that is not a header, or a
// header without a value, is an error: `error` (when given) names the first such line by number,
// and the line is left out.
std::vector<IndexEntry> parse_update_index(std::string_view body, std::string* error = nullptr);
