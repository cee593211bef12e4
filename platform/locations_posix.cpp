#include "platform/locations.h"

namespace platform {

const char* profile_variable() { return "HOME"; }

std::vector<std::string> quick_scan_roots(const char* profile) {
    const std::string base = profile != nullptr ? profile : "/";
    return {base + "/Desktop", base + "/Downloads", base + "/.config/autostart"};
}

std::string full_scan_root() { return "/"; }

}  // namespace platform
