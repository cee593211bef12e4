// The places the system starts programs from at log-on, and their entries: the registry's Run and
// RunOnce keys on Windows; XDG autostart folders and systemd unit folders on Linux.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

enum class AutostartKind {
    kRegistryKey,   // `place` is a key: "HKCU\..." or "HKLM\..."; each value is one entry
    kDesktopFiles,  // `place` is a folder of *.desktop files; the command is the Exec key
    kSystemdUnits,  // `place` is a folder of *.service files; the command is the ExecStart key
};

struct AutostartLocation {
    AutostartKind kind;
    std::string place;
    std::string label;  // the short name in messages
};

// One entry of a location: the value name (Linux: the file's name) and the command text.
struct AutostartEntry {
    std::string name;
    std::string command;
};

// The system's own locations, in checking order, from the current environment.
std::vector<AutostartLocation> default_autostart_locations();

// The entries of one location. A location that is missing or cannot be read gives none; an entry
// that cannot be read (too long, not a regular file, no command key) is passed over.
std::vector<AutostartEntry> read_autostart_entries(const AutostartLocation& location);

// The folders searched for a bare command name (the PATH variable's value, or empty).
std::string executable_search_path();

// A path in the system's narrow form (Windows: the ANSI code page) as a file-system path; false
// when the text cannot be converted.
bool path_from_narrow(const std::string& text, std::filesystem::path& out);

// The texts of the check, in this system's words.
extern const char kAutostartCheckHeading[];  // the coloured line that opens the check
extern const char kAutostartLogStart[];      // the log line that opens the check
extern const char kAutostartLogTag[];        // begins the log line of a hit
extern const char kAutostartSummary[];       // begins the closing summary line

}  // namespace platform
