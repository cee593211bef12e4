#include "maintenance/memory_cleaning.h"

#include "console/console.h"
#include "console/logger.h"

ConsoleLine memory_step_line(MemoryStep step, bool succeeded) {
    if (step == MemoryStep::kTrimWorkingSet) {
        return succeeded
                   ? ConsoleLine{"[INFO] Working set trimmed (system cache cleared).", kLightGreen}
                   : ConsoleLine{"[ERROR] Failed to trim working set.", kLightRed};
    }
    return succeeded ? ConsoleLine{"[INFO] Virtual memory reset.", kLightGreen}
                     : ConsoleLine{"[ERROR] Failed to reset virtual memory.", kLightRed};
}

std::string memory_step_log(MemoryStep step, bool succeeded) {
    if (step == MemoryStep::kTrimWorkingSet) {
        return succeeded ? "Working set trimmed" : "[ERROR] Cleaning working set failed";
    }
    return succeeded ? "Virtual memory reset" : "[ERROR] Virtual memory reset failed";
}

namespace {

void report(Logger& logger, MemoryStep step, bool succeeded) {
    const ConsoleLine line = memory_step_line(step, succeeded);
    print_colored(line.text, line.color);
    logger.log(memory_step_log(step, succeeded));
}

}  // namespace

void clean_system_memory(Logger& logger, const MemoryCleanOptions& options) {
    print_colored("\n[INFO] Cleaning system memory caches and virtual memory...", kLightCyan);
    report(logger, MemoryStep::kTrimWorkingSet, platform::trim_working_set());
    report(logger, MemoryStep::kResetWorkingSet,
           platform::reset_working_set(options.page_reference_file));
}
