#include "report/post_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "report_test_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using report_test::Findings;
using test_support::TempDir;

const std::string kMenu =
    "\nActions Available:\n1. View detailed log file\n2. Show all malicious files\n"
    "3. Show error files\n4. Export results to file\n5. Return to main menu\nYour choice (1-5): ";

struct ActionRun {
    std::string output;
    std::string left_unread;
};

ActionRun run_actions(const Findings& findings, const std::string& typed,
                      const fs::path& folder = {}, const std::string& viewer = "") {
    ScanStats stats;
    report_test::fill(stats, findings);
    std::istringstream input(typed);
    PostScanOptions options;
    options.input = &input;
    options.export_folder = folder;
    options.viewer_command = viewer;
    test_support::CoutCapture capture;
    post_scan_actions(stats, options);
    std::string rest((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    return {capture.text(), rest};
}

std::vector<fs::path> files_in(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path());
    return found;
}

Findings two_of_each() {
    Findings findings;
    findings.paths = "/scan; ";
    findings.files = 9;
    findings.bytes = (7u << 20) + 5;
    findings.malicious = {"/scan/a.exe", "/scan/b.exe"};
    findings.errors = {"/scan/e1.bin", "/scan/e2.bin"};
    findings.suspicious = {"/scan/s.exe (Entropy: 7.50)"};
    findings.duration = std::chrono::milliseconds(3999);
    return findings;
}

TEST(PostScanActions, AnswersThatDoNothing) {
    struct Case {
        const char* typed;
        const char* left_unread;
    };
    const Case cases[] = {
        {"5\nnext", "\nnext"},  // after a number the rest of its line stays unread
        {"0\n", "\n"},
        {"6\n", "\n"},
        {"-1\n", "\n"},
        {"99999999999\nnext", "next"},  // out of range counts as not a number
        {"abc def\nnext", "next"},      // not a number: the whole line is dropped
        {"", ""},                       // end of input
    };
    for (const auto& c : cases) {
        const ActionRun run = run_actions(two_of_each(), c.typed);
        EXPECT_EQ(run.output, kMenu) << c.typed;
        EXPECT_EQ(run.left_unread, c.left_unread) << c.typed;
    }
}

TEST(PostScanActions, ListsOfFindings) {
    const Findings clean;
    struct Case {
        const char* name;
        Findings findings;
        const char* typed;
        std::string after_menu;
    };
    const Case cases[] = {
        {"malicious", two_of_each(), "2\n",
         "\nMALICIOUS FILES DETECTED (2 total):\n1. /scan/a.exe\n2. /scan/b.exe\n"
         "\nRECOMMENDATION: Quarantine or delete these files immediately!\n"},
        {"no_malicious", clean, "2\n", "\nNo malicious files were detected.\n"},
        {"errors", two_of_each(), " 3\n",
         "\nFILES WITH ERRORS (2 total):\n1. /scan/e1.bin\n2. /scan/e2.bin\n"
         "\nNote: These files could not be scanned (access denied, corrupted, etc.)\n"},
        {"no_errors", clean, "\n\n3\n", "\nNo errors occurred during scanning.\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_actions(c.findings, c.typed).output, kMenu + c.after_menu) << c.name;
    }
}

TEST(PostScanActions, ViewLogRunsTheViewer) {
    TempDir dir;
    const auto marker = dir / "viewed";
    const ActionRun run =
        run_actions(two_of_each(), "1\n", {}, "echo viewed> \"" + marker.string() + "\"");
    EXPECT_EQ(run.output, kMenu + "\nOpening scan log file...\n");
    EXPECT_TRUE(fs::exists(marker));
}

TEST(ExportText, ExactContent) {
    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 1;
    when.tm_mday = 29;
    when.tm_hour = 7;
    when.tm_min = 5;
    when.tm_sec = 9;
    ScanStats found;
    report_test::fill(found, two_of_each());
    EXPECT_EQ(export_text(found, when),
              "QUORVEX ANTIVIRUS SCAN REPORT\nGenerated: 2024-02-29 07:05:09\n\n"
              "Scan Path: /scan; \nTotal Files: 9\nTotal Size: 7 MB\nMalicious Files: 2\n"
              "Errors: 2\nDuration: 3 seconds\n\n"
              "MALICIOUS FILES:\n- /scan/a.exe\n- /scan/b.exe\n\n");
    ScanStats clean;
    report_test::fill(clean, Findings{});
    EXPECT_EQ(export_text(clean, when),
              "QUORVEX ANTIVIRUS SCAN REPORT\nGenerated: 2024-02-29 07:05:09\n\n"
              "Scan Path: C:\\x; \nTotal Files: 0\nTotal Size: 0 MB\nMalicious Files: 0\n"
              "Errors: 0\nDuration: 0 seconds\n\n");
}

// True when `text` has a digit wherever `shape` has '#' and the same character elsewhere.
bool has_shape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '#' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

TEST(PostScanActions, ExportWritesOneCompleteFile) {
    TempDir dir;
    const std::time_t before = std::time(nullptr);
    const ActionRun run = run_actions(two_of_each(), "4\n", dir.path());
    const std::time_t after = std::time(nullptr);
    const auto written = files_in(dir.path());
    ASSERT_EQ(written.size(), 1u);  // no temporary file left beside it
    EXPECT_EQ(run.output, kMenu + "\nReport exported to: " + written[0].string() + "\n");

    const std::string prefix = "scan_results_";
    const std::string file_name = written[0].filename().string();
    ASSERT_EQ(file_name.rfind(prefix, 0), 0u) << file_name;
    ASSERT_EQ(file_name.substr(file_name.size() - 4), ".txt") << file_name;
    const std::string seconds =
        file_name.substr(prefix.size(), file_name.size() - prefix.size() - 4);
    ASSERT_TRUE(has_shape(seconds, std::string(seconds.size(), '#'))) << file_name;
    EXPECT_GE(std::stoll(seconds), static_cast<long long>(before));
    EXPECT_LE(std::stoll(seconds), static_cast<long long>(after));

    std::string text = test_support::read_file(written[0]);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    const auto line_start = text.find('\n') + 1;
    const auto line_end = text.find('\n', line_start);
    const std::string generated = text.substr(line_start, line_end - line_start);
    EXPECT_TRUE(has_shape(generated, "Generated: ####-##-## ##:##:##")) << generated;
    ScanStats found;
    report_test::fill(found, two_of_each());
    const std::string expected = export_text(found, std::tm{});
    const auto expected_end = expected.find('\n', line_start);
    EXPECT_EQ(text.substr(line_end), expected.substr(expected_end));
    EXPECT_EQ(text.substr(0, line_start), expected.substr(0, line_start));
}

TEST(PostScanActions, ExportThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    const ActionRun run = run_actions(two_of_each(), "4\n", dir / "no" / "such" / "folder");
    EXPECT_EQ(run.output, kMenu + "\nFailed to create report file.\n");
    EXPECT_TRUE(files_in(dir.path()).empty());
}

}  // namespace
