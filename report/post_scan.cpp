#include "report/post_scan.h"

#include <cstdint>
#include <limits>
#include <sstream>

#include "console/console.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/log_viewer.h"
#include "platform/process.h"

namespace {

void view_log(const PostScanOptions& options) {
    print_colored("\nOpening scan log file...", kLightBlue);
    const std::string command = options.viewer_command.empty()
                                    ? platform::log_viewer_command(options.log_file)
                                    : options.viewer_command;
    platform::run_command(command);
}

template <class Entries, class Text>
void show_numbered(const Entries& entries, Text text_of) {
    std::size_t number = 1;
    for (const auto& entry : entries) std::cout << number++ << ". " << text_of(entry) << "\n";
}

void show_malicious(const ScanStats& stats) {
    const std::uint64_t count = stats.malicious_count();
    if (count == 0) {
        print_colored("\nNo malicious files were detected.", kLightGreen);
        return;
    }
    print_colored("\nMALICIOUS FILES DETECTED (" + std::to_string(count) + " total):", kLightRed);
    show_numbered(stats.malicious_files, [](const ScanFinding& found) { return found.display; });
    print_colored("\nRECOMMENDATION: Quarantine or delete these files immediately!", kLightRed);
}

void show_errors(const ScanStats& stats) {
    const std::uint64_t count = stats.error_count();
    if (count == 0) {
        print_colored("\nNo errors occurred during scanning.", kLightGreen);
        return;
    }
    print_colored("\nFILES WITH ERRORS (" + std::to_string(count) + " total):", kLightMagenta);
    show_numbered(stats.error_files, [](const ScanError& error) { return error.display; });
    std::cout << "\nNote: These files could not be scanned (access denied, corrupted, etc.)\n";
}

void export_and_tell(const ScanStats& stats, const PostScanOptions& options) {
    std::filesystem::path written;
    if (!export_results(stats, options.export_folder, written)) {
        print_colored("\nFailed to create report file.", kLightRed);
        return;
    }
    print_colored("\nReport exported to: " + written.string(), kLightGreen);
}

}  // namespace

std::string export_file_name(std::time_t now) {
    return "scan_results_" + std::to_string(static_cast<std::int64_t>(now)) + ".txt";
}

std::string export_text(const ScanStats& stats, const std::tm& generated) {
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &generated) == 0) stamp[0] = '\0';
    std::ostringstream text;
    text << "QUORVEX ANTIVIRUS SCAN REPORT\n"
         << "Generated: " << stamp << "\n\n"
         << "Scan Path: " << stats.scanned_paths << "\n"
         << "Total Files: " << stats.files_scanned << "\n"
         << "Total Size: " << whole_mebibytes(stats.bytes_scanned) << " MB\n"
         << "Malicious Files: " << stats.malicious_count() << "\n"
         << "Errors: " << stats.error_count() << "\n"
         << "Duration: " << stats.elapsed_seconds() << " seconds\n\n";
    if (stats.malicious_count() != 0) {
        text << "MALICIOUS FILES:\n";
        for (const auto& entry : stats.malicious_files) text << "- " << entry.display << "\n";
        text << "\n";
    }
    return text.str();
}

bool export_results(const ScanStats& stats, const std::filesystem::path& folder,
                    std::filesystem::path& written) {
    const std::filesystem::path target = folder / export_file_name(std::time(nullptr));
    platform::AtomicFileWriter writer(target, /*text=*/true);
    if (!writer.ok()) return false;
    writer.stream() << export_text(stats, platform::local_time(std::time(nullptr)));
    if (!writer.commit()) return false;
    written = target;
    return true;
}

PostScanAction post_scan_actions(const ScanStats& stats, const PostScanOptions& options) {
    std::istream& in = *options.input;
    std::cout << "\n";
    print_colored("Actions Available:", kYellow);
    std::cout << "1. View detailed log file\n"
              << "2. Show all malicious files\n"
              << "3. Show error files\n"
              << "4. Export results to file\n"
              << "5. Return to main menu\n"
              << "Your choice (1-5): " << std::flush;

    std::int32_t choice = 0;
    if (!(in >> choice)) {
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return PostScanAction::kNone;
    }
    switch (choice) {
        case 1:
            view_log(options);
            return PostScanAction::kViewLog;
        case 2:
            show_malicious(stats);
            return PostScanAction::kShowMalicious;
        case 3:
            show_errors(stats);
            return PostScanAction::kShowErrors;
        case 4:
            export_and_tell(stats, options);
            return PostScanAction::kExport;
        default:
            return PostScanAction::kNone;
    }
}
