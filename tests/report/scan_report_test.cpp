#include "report/scan_report.h"

#include <gtest/gtest.h>

#include <string>

#include "report_test_support.h"
#include "support/test_support.h"

namespace {

using report_test::Findings;

const std::string kOpening = "\n---------------- SCAN REPORT ----------------\n";
const std::string kClosing = std::string(45, '-') + "\n";

std::string report_of(const Findings& findings) {
    ScanStats stats;
    report_test::fill(stats, findings);
    test_support::CoutCapture capture;
    print_scan_report(stats);
    return capture.text();
}

TEST(ScanReport, Layouts) {
    struct Case {
        const char* name;
        Findings findings;
        std::string expected;
    };
    Findings clean;
    clean.duration = std::chrono::milliseconds(1900);  // shown as 1 second
    clean.bytes = 1048575;                             // less than one mebibyte
    Findings found;
    found.paths = "/a; /b; ";
    found.files = 12;
    found.bytes = 5u << 20;
    found.malicious = {"/a/x.exe", "/b/y.dll"};
    found.suspicious = {"/a/p.exe (Entropy: 7.99)"};
    found.errors = {"/a/e1", "/a/e2", "/a/e3"};
    found.duration = std::chrono::seconds(75);
    Findings errors_only;
    errors_only.files = 1;
    errors_only.errors = {"/a/e"};

    const Case cases[] = {
        {"clean", clean,
         kOpening +
             "Path(s): C:\\x; \nTime: 1 seconds\nTotal Data: 0 MB\nFiles Scanned: 0\n"
             "Malicious Found: 0\nSuspicious (Heuristic): 0\nErrors: 0\n" +
             kClosing},
        {"found", found,
         kOpening +
             "Path(s): /a; /b; \nTime: 75 seconds\nTotal Data: 5 MB\nFiles Scanned: 12\n"
             "Malicious Found: 2\nSuspicious (Heuristic): 1\nErrors: 3\n"
             "\n[!] MALICIOUS FILES DETECTED:\n -> /a/x.exe\n -> /b/y.dll\n"
             "\n[?] SUSPICIOUS FILES (High Entropy):\n -> /a/p.exe (Entropy: 7.99)\n" +
             kClosing},
        // Files with errors are counted but never listed in the report.
        {"errors_only", errors_only,
         kOpening +
             "Path(s): C:\\x; \nTime: 0 seconds\nTotal Data: 0 MB\nFiles Scanned: 1\n"
             "Malicious Found: 0\nSuspicious (Heuristic): 0\nErrors: 1\n" +
             kClosing},
    };
    for (const auto& c : cases) EXPECT_EQ(report_of(c.findings), c.expected) << c.name;
}

}  // namespace
