#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <system_error>

#include "platform/process.h"

namespace platform {

const char kNotElevatedWarning[] =
    "[!] WARNING: Not running as root. Some features (cleaning system files, system autostart "
    "entries) will fail.";

bool is_elevated() { return geteuid() == 0; }

std::optional<std::filesystem::path> executable_path() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || path.empty()) return std::nullopt;
    return path;
}

int run_command(const std::string& command_line) {
    std::cout.flush();
    const int status = std::system(command_line.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace platform
