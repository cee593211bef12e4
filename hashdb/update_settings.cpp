#include "hashdb/update_settings.h"

#include <cstdlib>

namespace {

// The hash-list server's index; QUORVEX_UPDATE_URL replaces it (mirrors, offline files, tests).
constexpr const char* kDefaultIndexUrl = "https://hashes.quorvex.org/dosyalar/hash.txt";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

UpdateSettings UpdateSettings::from_environment() {
    UpdateSettings settings;
    settings.index_url = environment("QUORVEX_UPDATE_URL");
    if (settings.index_url.empty()) settings.index_url = kDefaultIndexUrl;
    settings.ca_bundle = environment("CURL_CA_BUNDLE");
    return settings;
}
