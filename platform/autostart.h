// The places the system starts programs from by itself, and the reads the start-up check needs:
// the registry's Run and RunOnce keys on Windows; on Linux the systemd unit folders, the cron
// tables and folders, the start-up scripts, the preloaded libraries and the XDG autostart folders.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

enum class AutostartKind {
    kRegistryKey,     // a key, "HKCU\..." or "HKLM\..."; each value is one entry
    kDesktopFiles,    // a folder of *.desktop files; the command is the Exec key
    kSystemdUnits,    // a systemd configuration folder: the units its *.wants/ and *.requires/
                      // folders name and, with `direct_units`, the units placed in it
    kSystemCrontab,   // a crontab file whose jobs name their user (/etc/crontab)
    kSystemCrontabs,  // a folder of such crontab files (/etc/cron.d)
    kUserCrontabs,    // a folder of crontabs named after their user, without a user field
    kCronScripts,     // a folder whose executable files cron runs as they are (/etc/cron.daily)
    kRcLocal,         // the rc.local script, started when it is executable
    kSysvStartLinks,  // a folder holding rc?.d folders whose S* links start init scripts
    kPreload,         // a list of libraries loaded into every program (/etc/ld.so.preload)
};

struct AutostartLocation {
    AutostartKind kind;
    std::string place;
    std::string label;  // the short name in messages
    // Folders a bare program name is looked up in, ':'-separated (systemd: its fixed list; cron:
    // the PATH of jobs whose file sets none; preload: the library folders). Empty: the check's own.
    std::string search_path = {};
    // systemd: the folders a unit is looked up in by name, the first holding it wins.
    std::vector<std::string> unit_folders = {};
    bool direct_units = true;  // systemd: also the units placed in `place` itself
    std::string home = {};     // systemd: what the %h specifier stands for
};

// One value of a registry key: its name and its text.
struct AutostartEntry {
    std::string name;
    std::string command;
};

// The system's own locations, in checking order, from the current environment.
std::vector<AutostartLocation> default_autostart_locations();

// The values of a registry location. A key that is missing or cannot be read gives none; a value
// too long for the buffers is passed over. No values for other kinds, nor where there is no
// registry.
std::vector<AutostartEntry> read_registry_entries(const AutostartLocation& location);

enum class SmallFileStatus {
    kRead,
    kMissing,     // nothing by that name, or a link that leads nowhere
    kNotRegular,  // a folder, FIFO, device... (a masked unit is a link to /dev/null)
    kTooLarge,
    kFailed,  // any other failure, a loop of links among them
};

struct SmallFile {
    SmallFileStatus status = SmallFileStatus::kFailed;
    std::string content;
    std::string error;  // the system's reason for kMissing and kFailed
};

// Reads a regular file of at most `max_bytes`, following links. It never blocks: a FIFO or device
// is refused before any byte is read, and a loop of links fails at once.
SmallFile read_small_file(const std::filesystem::path& path, std::size_t max_bytes);

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
