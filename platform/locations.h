// Well-known places of the system that the program works on. Everything here can be overridden by
// callers (tests pass their own folders); these are only the defaults.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Name of the environment variable that holds the user's profile folder (USERPROFILE / HOME).
const char* profile_variable();

// The quick-scan roots for a profile folder; an unset profile (nullptr) falls back to the system
// root. The suffixes are appended as they are, so the fallback keeps a doubled separator.
std::vector<std::string> quick_scan_roots(const char* profile);

// The single root of a full scan.
std::string full_scan_root();

}  // namespace platform
