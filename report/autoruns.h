// The start-up check of the programs the system launches at log-on: each entry's program is hashed
// and looked up in the known-bad database; hits are shown in red and logged, and one summary line
// gives the counts.
#pragma once

#include <string>
#include <vector>

#include "platform/autostart.h"

class HashChecker;
class Logger;

struct AutorunCheckOptions {
    std::vector<platform::AutostartLocation> locations = platform::default_autostart_locations();
    std::string search_path =
        platform::executable_search_path();  // folders for bare names, ':'-separated
};

void check_registry_autoruns(const HashChecker& checker, Logger& logger,
                             const AutorunCheckOptions& options = {});

// The program path of a registry value's text: the text between a leading quote and the next one,
// else the text up to and including the first ".exe", else the whole text.
std::string extract_autorun_path(const std::string& text);

// The program of a Desktop Entry Exec line or a systemd ExecStart line (after its -@:+! prefixes):
// the first argument by the Desktop Entry quoting rules. Empty when there is none or a quote is
// left open.
std::string extract_exec_program(const std::string& command, platform::AutostartKind kind);

// The first folder of the ':'-separated search path that holds a regular file of that name, joined
// with the name; empty when none does.
std::string find_in_search_path(const std::string& name, const std::string& search_path);
