// How the start-up check finds the programs each kind of autostart location starts: the readers of
// systemd units, crontabs, start-up scripts, the preload list and desktop entries, and the text
// rules they share. Nothing here hashes a file, prints or logs; nothing is ever executed, and a
// link is followed only to read the file it leads to.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/autostart.h"

namespace autoruns {

// One program a location starts, as its configuration names it.
struct FoundProgram {
    std::string name;         // where it came from, relative to the location
    std::string source;       // the file (or key) the command was read from
    std::string setting;      // the key or line naming the program: "ExecStartPre", "line 12"
    std::string command;      // the command as written
    std::string program;      // the program's path, or the bare name when `unresolved`
    std::string user;         // cron: the user the job runs as
    bool unresolved = false;  // no file could be named: a bare name found nowhere, a relative path
    bool hidden = false;      // a desktop entry marked Hidden=true
    bool warn_if_missing = false;  // a missing program is worth a warning (a preloaded library)
};

// A place or entry that could not be read, with the reason.
struct SourceProblem {
    std::string name;
    std::string source;
    std::string reason;
};

struct Findings {
    std::vector<FoundProgram> programs;
    std::vector<SourceProblem> problems;
    // Programs already found, so a unit reached by two links or aliases, or a script started
    // from four run levels, is listed once.
    std::set<std::string> seen;
};

// Adds what one location starts. `search_path` is used for bare program names when the location
// brings no search path of its own.
void read_location(const platform::AutostartLocation& location, const std::string& search_path,
                   Findings& findings);

// The largest configuration file read; anything larger is reported as unreadable.
inline constexpr std::size_t kMaxConfigFileBytes = 1 << 20;

// --- Text rules, shared by the readers ---------------------------------------------------------

// One assignment of a systemd unit file, in file order.
struct UnitAssignment {
    std::string section;
    std::string key;
    std::string value;
};

// The assignments of a unit file or drop-in by the systemd syntax: sections in brackets, comment
// lines starting with '#' or ';', blanks around '=' dropped, a trailing backslash joining the next
// line.
std::vector<UnitAssignment> parse_unit_file(const std::string& content);

// A program text of unit `unit_name` with its specifiers expanded: %n %N %p %P %i %I %h %%.
// Others are kept as written.
std::string expand_unit_specifiers(const std::string& text, const std::string& unit_name,
                                   const std::string& home);

// One job of a crontab.
struct CronJob {
    int line = 0;
    std::string user;     // empty for a user's own crontab
    std::string command;  // up to the first unescaped '%'
    std::string path;     // the PATH set by the lines above the job, empty when none
};

// The jobs of a crontab. `user_field`: the system form, with the user between the schedule and
// the command. Lines that are not jobs or settings are passed over, as cron does.
std::vector<CronJob> parse_crontab(const std::string& content, bool user_field);

// The programs a shell command line runs: the first word of each command of the line (split at
// ; & && | || and parentheses), after variable settings, redirections and shell keywords.
std::vector<std::string> shell_command_programs(const std::string& command);

// The libraries of an ld.so.preload file, in order: names separated by blanks, line breaks or ':'.
std::vector<std::string> parse_preload_list(const std::string& content);

// The value of `key` in group `group` of a desktop entry; the first occurrence counts and blanks
// around "=" are allowed. False when there is none.
bool desktop_entry_value(const std::string& content, const std::string& group,
                         const std::string& key, std::string& value);

}  // namespace autoruns
