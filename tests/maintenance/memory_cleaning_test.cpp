#include "maintenance/memory_cleaning.h"

#include <gtest/gtest.h>

#include "console/console.h"
#include "maintenance/maintenance_test_support.h"

namespace {

using maintenance_test::capture;
using test_support::TempDir;

const std::string kHeading = "\n[INFO] Cleaning system memory caches and virtual memory...\n";

TEST(MemoryStepLines, EachOutcomeHasItsTextColourAndLogLine) {
    struct Case {
        MemoryStep step;
        bool succeeded;
        const char* text;
        std::uint16_t color;
        const char* log;
    };
    const Case cases[] = {
        {MemoryStep::kTrimWorkingSet, true, "[INFO] Working set trimmed (system cache cleared).",
         kLightGreen, "Working set trimmed"},
        {MemoryStep::kTrimWorkingSet, false, "[ERROR] Failed to trim working set.", kLightRed,
         "[ERROR] Cleaning working set failed"},
        {MemoryStep::kResetWorkingSet, true, "[INFO] Virtual memory reset.", kLightGreen,
         "Virtual memory reset"},
        {MemoryStep::kResetWorkingSet, false, "[ERROR] Failed to reset virtual memory.", kLightRed,
         "[ERROR] Virtual memory reset failed"},
    };
    for (const auto& c : cases) {
        const ConsoleLine line = memory_step_line(c.step, c.succeeded);
        EXPECT_EQ(line.text, c.text);
        EXPECT_EQ(line.color, c.color) << c.text;
        EXPECT_EQ(memory_step_log(c.step, c.succeeded), c.log);
    }
}

TEST(CleanSystemMemory, BothStepsSucceed) {
    TempDir dir;
    // Stands in for the process's page reference file; any writable file accepts the request.
    MemoryCleanOptions options;
    if (!options.page_reference_file.empty()) {
        options.page_reference_file = dir.write("clear_refs", "");
    }
    const auto run = capture([&](Logger& logger) { clean_system_memory(logger, options); });

    EXPECT_EQ(run.console, kHeading + "[INFO] Working set trimmed (system cache cleared).\n" +
                               "[INFO] Virtual memory reset.\n");
    EXPECT_EQ(run.log, (std::vector<std::string>{"Working set trimmed", "Virtual memory reset"}));
    if (!options.page_reference_file.empty()) {
        EXPECT_EQ(test_support::read_file(options.page_reference_file), "1");
    }
}

TEST(CleanSystemMemory, TheRealDefaultsSucceedForThisProcess) {
    const auto run = capture([](Logger& logger) { clean_system_memory(logger); });
    EXPECT_EQ(run.log, (std::vector<std::string>{"Working set trimmed", "Virtual memory reset"}))
        << run.console;
}

TEST(CleanSystemMemory, AFailedResetIsReportedAfterTheSuccessfulTrim) {
    MemoryCleanOptions options;
    if (options.page_reference_file.empty()) {
        GTEST_SKIP() << "the reset step takes no file here, so it cannot be made to fail";
    }
    TempDir dir;
    options.page_reference_file = dir / "no-such-folder" / "clear_refs";
    const auto run = capture([&](Logger& logger) { clean_system_memory(logger, options); });

    EXPECT_EQ(run.console, kHeading + "[INFO] Working set trimmed (system cache cleared).\n" +
                               "[ERROR] Failed to reset virtual memory.\n");
    EXPECT_EQ(run.log, (std::vector<std::string>{"Working set trimmed",
                                                 "[ERROR] Virtual memory reset failed"}));
    EXPECT_FALSE(std::filesystem::exists(options.page_reference_file));
    // The colours of the two printed lines, as the routine chose them for this outcome.
    EXPECT_EQ(memory_step_line(MemoryStep::kTrimWorkingSet, true).color, kLightGreen);
    EXPECT_EQ(memory_step_line(MemoryStep::kResetWorkingSet, false).color, kLightRed);
}

}  // namespace
