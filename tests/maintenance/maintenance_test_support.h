// Helpers shared by the maintenance tests: running a routine with its console output and log lines
// captured, and the few facts about the host that decide which fixtures can be built.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/logger.h"
#include "support/test_support.h"

namespace maintenance_test {

inline constexpr bool kWindowsPaths = std::filesystem::path::preferred_separator == '\\';

// The messages of a log file, without their timestamps.
inline std::vector<std::string> log_messages(const std::filesystem::path& file) {
    std::vector<std::string> messages;
    std::ifstream in(file);
    std::string line;
    constexpr std::size_t kTimestamp = 20;  // "YYYY-MM-DD HH:MM:SS "
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        messages.push_back(line.size() >= kTimestamp ? line.substr(kTimestamp) : line);
    }
    return messages;
}

struct Captured {
    std::string console;
    std::vector<std::string> log;
};

// Runs the routine with a fresh log in its own folder and std::cout captured.
template <typename Routine>
Captured capture(Routine routine) {
    test_support::TempDir log_dir;
    const auto log_file = log_dir / "scan_log.txt";
    Captured result;
    {
        Logger logger(log_file.string());
        test_support::CoutCapture capture;
        routine(logger);
        result.console = capture.text();
    }
    result.log = log_messages(log_file);
    return result;
}

// True when a symbolic link to a folder can be made here (Windows may refuse without privileges).
inline bool can_make_folder_links(const std::filesystem::path& scratch) {
    std::error_code ec;
    const auto target = scratch / "link-probe-target";
    const auto link = scratch / "link-probe";
    std::filesystem::create_directory(target, ec);
    std::filesystem::create_directory_symlink(target, link, ec);
    const bool ok = !ec && std::filesystem::is_symlink(std::filesystem::symlink_status(link));
    std::filesystem::remove(link, ec);
    std::filesystem::remove(target, ec);
    return ok;
}

}  // namespace maintenance_test
