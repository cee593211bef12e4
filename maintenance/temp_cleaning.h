// Menu item "Clean Temp & Cache": the system's component or package store clean-up, the emptying
// of the temporary folders, and the DNS cache flush, with a summary on the console and in the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/temp_clean.h"

class Logger;

// Everything the clean-up touches outside the program, with the real ones as defaults, so the
// routine can be run on fixture folders with harmless commands.
struct TempCleanOptions {
    std::vector<std::filesystem::path> folders = platform::default_temp_folders();
    std::string component_cleanup_command = platform::kComponentCleanupCommand;
    std::string dns_flush_command = platform::kDnsFlushCommand;
    // Entries used more recently than this are left alone; zero deletes everything.
    std::chrono::seconds min_entry_age = platform::default_min_entry_age();
    std::function<std::chrono::system_clock::time_point()> clock = [] {
        return std::chrono::system_clock::now();
    };
};

// Runs the whole clean-up. Never throws for anything found in the folders: a folder that is
// missing or cannot be listed is passed over, an entry that cannot be deleted is counted as
// skipped.
void clean_temp_and_cache(Logger& logger, const TempCleanOptions& options = TempCleanOptions());

// What an unattended clean-up did.
struct TempCleanOutcome {
    bool component_cleanup_ok = true;  // the package/component store clean-up (not run dry)
    std::vector<std::filesystem::path> removed;    // temporary entries deleted
    std::vector<std::filesystem::path> removable;  // a dry run: the entries that would be deleted
    std::vector<std::filesystem::path> failed;     // entries that could not be deleted completely
    std::uint64_t in_use = 0;                      // entries left alone as in use
};

// The same clean-up without console output, for the batch command. A dry run lists what would be
// deleted, and deletes nothing and runs no command.
TempCleanOutcome clean_temp_unattended(Logger& logger, const TempCleanOptions& options,
                                       bool dry_run);

// Runs one command line through the command interpreter on a background task while the spinner
// with the given label turns on the console, polling every 50 ms. Returns the command's status as
// the interpreter reports it (0 = success).
int run_with_spinner(const std::string& label, const std::string& command_line);
