// Facts about the running process: its rights, its executable, and running child commands.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// The start-up warning shown when is_elevated() is false; it names this system's kind of rights.
extern const char kNotElevatedWarning[];

// True when the process has administrator (Windows) or root (effective uid 0) rights. Any failure
// of the query counts as not elevated.
bool is_elevated();

// Full path of the running executable, or nothing when the system cannot tell.
std::optional<std::filesystem::path> executable_path();

// Runs one command line through the system's command interpreter and waits for it. Returns the
// command's exit status, or -1 when it could not be run or did not exit normally. Standard output
// is flushed first so the child's output lands after ours.
int run_command(const std::string& command_line);

}  // namespace platform
