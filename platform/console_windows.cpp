#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/console.h"

namespace platform {
namespace {

bool colors_wanted() {
    static const bool wanted = [] {
        const char* no_color = std::getenv("NO_COLOR");
        return no_color == nullptr || *no_color == '\0';
    }();
    return wanted;
}

}  // namespace

void enable_virtual_terminal() {
    for (const DWORD stream : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(stream);
        DWORD mode = 0;
        if (GetConsoleMode(handle, &mode)) SetConsoleMode(handle, mode | 0x0004);
    }
    // A Wine console breaks escape sequences that arrive one character at a time, so standard
    // output is fully buffered and every redraw ends with an explicit flush.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

bool colors_enabled() { return colors_wanted() && stdout_is_terminal(); }

bool stderr_colors_enabled() { return colors_wanted() && stderr_is_terminal(); }

void set_text_attribute(std::uint16_t attribute) {
    if (!colors_wanted()) return;
    std::cout.flush();
    // Fails harmlessly (error 6) when standard output is a pipe or a file.
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
}

void clear_screen() {
    std::cout.flush();
    if (stdout_is_terminal()) std::system("cls");
}

bool stdout_is_terminal() {
    static const bool terminal = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
    return terminal;
}

bool stderr_is_terminal() {
    static const bool terminal = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
    return terminal;
}

}  // namespace platform
