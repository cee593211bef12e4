#include "report/scan_report.h"

#include <iostream>
#include <string>

#include "console/console.h"

namespace {

// A count line: coloured when the count is not zero, plain otherwise.
void print_count(const std::string& label, std::uint64_t count, std::uint16_t color) {
    if (count != 0) {
        print_colored(label + std::to_string(count), color);
    } else {
        std::cout << label << "0\n";
    }
}

void print_list(const std::string& heading, const std::vector<ScanFinding>& entries,
                std::uint16_t color) {
    if (entries.empty()) return;
    print_colored(heading, color);
    for (const auto& entry : entries) std::cout << " -> " << entry.list_entry() << "\n";
}

}  // namespace

void print_scan_counts(const ScanStats& stats, std::uint64_t errors) {
    std::cout << "Path(s): " << stats.scanned_paths << "\n";
    std::cout << "Time: " << stats.elapsed_seconds() << " seconds\n";
    std::cout << "Total Data: " << whole_mebibytes(stats.bytes_scanned) << " MB\n";
    std::cout << "Files Scanned: " << stats.files_scanned << "\n";
    print_count("Malicious Found: ", stats.malicious_count(), kLightRed);
    print_count("Suspicious (Heuristic): ", stats.suspicious_count(), kYellow);
    print_count("Errors: ", errors, kLightMagenta);
}

void print_scan_report(const ScanStats& stats) {
    print_colored("\n---------------- SCAN REPORT ----------------", kLightCyan);
    print_scan_counts(stats, stats.error_count());
    print_list("\n[!] MALICIOUS FILES DETECTED:", stats.malicious_files, kLightRed);
    print_list("\n[?] SUSPICIOUS FILES (High Entropy):", stats.suspicious_files, kYellow);
    print_colored(std::string(45, '-'), kLightCyan);
}
