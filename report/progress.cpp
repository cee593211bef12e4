#include "report/progress.h"

#include <algorithm>
#include <iostream>
#include <thread>

#include "console/console.h"
#include "platform/console.h"

namespace {

// How often the end of the scan is looked for between redraws.
constexpr auto kEndPoll = std::chrono::milliseconds(5);

bool work_over(const ScanProgress& progress) { return progress.finished.load(); }

}  // namespace

std::string progress_line(std::int32_t frame, std::uint64_t files, std::uint64_t bytes,
                          std::uint64_t malicious, std::uint64_t suspicious, bool colored) {
    const char* cyan = colored ? "\x1b[36m" : "";
    const char* red = colored ? "\x1b[91m" : "";
    const char* yellow = colored ? "\x1b[93m" : "";
    const char* reset = colored ? "\x1b[0m" : "";
    std::string line = "\r";
    line += cyan;
    line += '[';
    line += spinner_frames[static_cast<std::size_t>(frame % 4)];
    line += ']';
    line += reset;
    line += " Scanned: " + std::to_string(files);
    line += " | Size: " + std::to_string(whole_mebibytes(bytes));
    line += " MB | ";
    line += red;
    line += "Malware: " + std::to_string(malicious);
    line += reset;
    line += " | ";
    line += yellow;
    line += "Suspicious: " + std::to_string(suspicious);
    line += reset;
    return line;
}

void display_progress(const ScanProgress& progress, std::chrono::milliseconds interval) {
    const bool colored = platform::colors_enabled();
    std::int32_t frame = 0;
    while (!work_over(progress)) {
        std::cout << progress_line(frame, progress.files_scanned.load(),
                                   progress.bytes_scanned.load(), progress.malicious_count.load(),
                                   progress.suspicious_count.load(), colored)
                  << std::flush;
        ++frame;
        const auto next = std::chrono::steady_clock::now() + interval;
        while (!work_over(progress)) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= next) break;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(kEndPoll, next - now));
        }
    }
    std::cout << '\r' << std::string(kBlankWidth, ' ') << '\r';
    print_colored("[DONE] Scan completed successfully.", kLightGreen);
}
