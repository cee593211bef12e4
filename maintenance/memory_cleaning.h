// Menu item "Clean System Memory": trims this process's working set and resets its limits, and
// reports each step's outcome on the console and in the log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/memory.h"

class Logger;

struct MemoryCleanOptions {
    std::filesystem::path page_reference_file = platform::default_page_reference_file();
};

enum class MemoryStep { kTrimWorkingSet, kResetWorkingSet };

struct ConsoleLine {
    std::string text;
    std::uint16_t color;
};

// The console line and the log line that report one step's outcome.
ConsoleLine memory_step_line(MemoryStep step, bool succeeded);
std::string memory_step_log(MemoryStep step, bool succeeded);

// Runs both steps, the second whatever the first gave, printing and logging each outcome.
void clean_system_memory(Logger& logger, const MemoryCleanOptions& options = MemoryCleanOptions());
