// The one-shot menu after a scan report: view the log, list malicious or failed files, or export
// a summary file.
#pragma once

#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>

#include "scanner/scan_stats.h"

struct PostScanOptions {
    std::istream* input = &std::cin;
    std::filesystem::path export_folder;  // where exports go; empty means the working directory
    std::string log_file = "scan_log.txt";
    std::string viewer_command;  // opens the log; empty means the system's viewer for log_file
};

enum class PostScanAction { kNone, kViewLog, kShowMalicious, kShowErrors, kExport };

// Shows the choices once, reads one number and carries out that action (or none) before returning
// which it was.
PostScanAction post_scan_actions(const ScanStats& stats, const PostScanOptions& options = {});

// "scan_results_<seconds since 1970>.txt".
std::string export_file_name(std::time_t now);

// The content of an exported report, with "\n" line ends; `generated` is the local time shown.
std::string export_text(const ScanStats& stats, const std::tm& generated);

// Writes the export into `folder`: the file appears complete or not at all. True and the written
// path in `written` on success.
bool export_results(const ScanStats& stats, const std::filesystem::path& folder,
                    std::filesystem::path& written);
