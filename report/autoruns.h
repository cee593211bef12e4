// The start-up check of the programs the system starts by itself: each entry's program is hashed
// and looked up in the known-bad database, and matched against the pattern rules when there are
// any. `run_autostart_check` is the engine and returns every
// entry with its verdict; `check_registry_autoruns` is the menu's front end, which shows the hits
// in red, logs them and closes with one summary line.
#pragma once

#include <string>
#include <vector>

#include "platform/autostart.h"

class HashChecker;
class Logger;
class RuleSet;

struct AutorunCheckOptions {
    std::vector<platform::AutostartLocation> locations = platform::default_autostart_locations();
    // Folders for bare names of locations without a search path of their own, ':'-separated.
    std::string search_path = platform::executable_search_path();
    // The rules each program is matched against as well; none when null or empty.
    const RuleSet* rules = nullptr;
};

enum class AutostartVerdict {
    kClean,           // hashed, not in the database
    kMalicious,       // hashed, in the database or matching a rule
    kNotHashed,       // a regular file that could not be read to the end
    kMissingProgram,  // no regular file by that name, or no program in the command at all
};

// "clean", "malicious", "not-hashed", "missing".
const char* verdict_name(AutostartVerdict verdict);

struct AutostartEntryResult {
    std::string kind;            // "systemd", "cron", "rc", "preload", "xdg" or "registry"
    std::string location_label;  // the location's short name: "systemd system", "HKCU Run"
    std::string name;            // where it came from: "multi-user.target.wants/x.service"
    std::string source;          // the file (or registry key) the command was read from
    std::string setting;         // what in the source names it: "ExecStartPre", "line 12", "Exec"
    std::string command;         // the command as written
    std::string program;         // the program's path in narrow form (a bare name not found)
    std::string user;            // cron: the user the job runs as
    std::string sha256;          // empty unless hashed
    bool listed = false;         // the hash is in the database
    std::vector<std::string> rules;  // the rules the program matched, each name once
    AutostartVerdict verdict = AutostartVerdict::kMissingProgram;
    bool hidden = false;  // a desktop entry marked Hidden=true: still checked
    std::string note;     // a warning about the entry, e.g. a listed library that is missing
};

// An entry or place that could not be checked, or a warning about one, with the reason.
struct AutostartIssue {
    enum class Severity { kWarning, kError };
    Severity severity = Severity::kError;
    std::string kind;
    std::string location_label;
    std::string name;
    std::string source;
    std::string reason;
};

struct AutostartKindCount {
    std::string kind;
    int checked = 0;
};

struct AutostartCheckResult {
    std::vector<AutostartEntryResult> entries;  // in checking order
    std::vector<AutostartIssue> issues;
    int checked = 0;    // entries whose program is an existing regular file
    int malicious = 0;  // entries whose program's hash is in the database or that match a rule
    // Entries checked per kind, for every kind among the locations, in their order.
    std::vector<AutostartKindCount> checked_per_kind;
};

// Reads every location, hashes each entry's program, looks it up and matches it against the rules
// (a match that fails is a warning among the issues; the entry keeps its hash verdict). Prints and
// logs nothing;
// only reads (a link is followed only to read the file it leads to, nothing is run).
AutostartCheckResult run_autostart_check(const HashChecker& checker,
                                         const AutorunCheckOptions& options = {});

void check_registry_autoruns(const HashChecker& checker, Logger& logger,
                             const AutorunCheckOptions& options = {});

// What a known-bad entry's log line and plain output add after the program: " (rule A, B)" when
// rules matched it, " (hash; rule A)" when it is listed as well, nothing when it is only listed.
std::string autostart_reasons_text(const AutostartEntryResult& entry);

// The program path of a registry value's text: the text between a leading quote and the next one,
// else the text up to and including the first ".exe", else the whole text.
std::string extract_autorun_path(const std::string& text);

// The program of a Desktop Entry Exec line or a systemd Exec line (after its -@:+! prefixes): the
// first argument by the Desktop Entry quoting rules (systemd also takes single quotes). Empty when
// there is none or a quote is left open.
std::string extract_exec_program(const std::string& command, platform::AutostartKind kind);

// The first folder of the ':'-separated search path that holds a regular file of that name, joined
// with the name; empty when none does.
std::string find_in_search_path(const std::string& name, const std::string& search_path);
