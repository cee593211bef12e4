// Builds finished-scan records for the report tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "scanner/scan_stats.h"

namespace report_test {

struct Findings {
    std::string paths = "C:\\x; ";
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<std::string> malicious;
    std::vector<std::string> suspicious;
    std::vector<std::string> errors;
    std::chrono::nanoseconds duration{0};
};

// Fills `stats` as a finished scan with these findings would have left it. A suspicious entry is
// written as the list shows it: "path (Entropy: x.yy)".
inline void fill(ScanStats& stats, const Findings& findings) {
    stats.scanned_paths = findings.paths;
    stats.files_scanned = findings.files;
    stats.bytes_scanned = findings.bytes;
    for (const auto& entry : findings.malicious) {
        ScanFinding finding;
        finding.path = entry;
        finding.display = entry;
        stats.malicious_files.push_back(finding);
    }
    for (const auto& entry : findings.suspicious) {
        const auto cut = entry.rfind(" (Entropy: ");
        ScanFinding finding;
        finding.verdict = Verdict::kSuspicious;
        finding.display = entry.substr(0, cut);
        finding.path = finding.display;
        finding.entropy = std::stod(entry.substr(cut + 11));
        stats.suspicious_files.push_back(finding);
    }
    for (const auto& entry : findings.errors) {
        stats.error_files.push_back(ScanError{entry, entry, "cannot open: Permission denied"});
    }
    stats.start_time = std::chrono::steady_clock::time_point(std::chrono::hours(5));
    stats.end_time = stats.start_time + findings.duration;
}

}  // namespace report_test
