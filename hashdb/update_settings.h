// Where and how the database update downloads its lists. The defaults are the real server and
// limits; tests point them at a local server and shorten the time-outs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct UpdateSettings {
    std::string index_url;  // the index naming the hash-list URLs
    std::string ca_bundle;  // CA certificates to trust instead of the system's; empty = system
    long connect_timeout_seconds = 30;  // giving up on a server that does not accept the connection
    long stall_timeout_seconds = 60;    // giving up on a transfer that makes no progress
    std::uint64_t max_body_bytes = 512ull << 20;  // cap on the index and on all lists of one update

    // The defaults, with QUORVEX_UPDATE_URL replacing the index URL and CURL_CA_BUNDLE naming the
    // CA bundle when they are set.
    static UpdateSettings from_environment();
};

// The list URLs of an index body: lines are split at any run of CR and LF, and a line counts when
// it begins with the lowercase "http" or "file://" (taken unchanged, so leading blanks disqualify
// it). A last line without a line break counts too.
std::vector<std::string> parse_update_index(std::string_view body);
