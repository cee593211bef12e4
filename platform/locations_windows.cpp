#include "platform/locations.h"

namespace platform {

const char* profile_variable() { return "USERPROFILE"; }

std::vector<std::string> quick_scan_roots(const char* profile) {
    const std::string base = profile != nullptr ? profile : "C:\\";
    return {base + "\\Desktop", base + "\\Downloads",
            base + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"};
}

std::string full_scan_root() { return "C:\\"; }

}  // namespace platform
