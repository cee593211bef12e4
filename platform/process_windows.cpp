#include <windows.h>

#include <cstdlib>
#include <iostream>

#include "platform/process.h"

namespace platform {

const char kNotElevatedWarning[] =
    "[!] WARNING: Not running as Administrator. Some features (cleaning system files, Registry) "
    "will fail.";

bool is_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    const bool ok =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned) != 0;
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

std::optional<std::filesystem::path> executable_path() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0) return std::nullopt;
    return std::filesystem::path(std::wstring(buffer, length));
}

int run_command(const std::string& command_line) {
    std::cout.flush();
    return std::system(command_line.c_str());
}

}  // namespace platform
