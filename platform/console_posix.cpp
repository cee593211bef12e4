#include "platform/console.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace platform {
namespace {

const char* sgr_for(std::uint16_t attribute) {
    switch (attribute) {
        case 9:
            return "\x1b[94m";
        case 10:
            return "\x1b[92m";
        case 11:
            return "\x1b[96m";
        case 12:
            return "\x1b[91m";
        case 13:
            return "\x1b[95m";
        case 14:
            return "\x1b[93m";
        case 15:
            return "\x1b[97m";
        default:
            return "\x1b[0m";
    }
}

bool colors_wanted() {
    static const bool wanted = [] {
        const char* no_color = std::getenv("NO_COLOR");
        return no_color == nullptr || *no_color == '\0';
    }();
    return wanted;
}

}  // namespace

bool colors_enabled() { return colors_wanted() && stdout_is_terminal(); }

bool stderr_colors_enabled() { return colors_wanted() && stderr_is_terminal(); }

void enable_virtual_terminal() {}

void set_text_attribute(std::uint16_t attribute) {
    if (colors_enabled()) std::cout << sgr_for(attribute);
}

void clear_screen() {
    if (stdout_is_terminal()) std::cout << "\x1b[H\x1b[2J\x1b[3J" << std::flush;
}

bool stdout_is_terminal() {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    return terminal;
}

bool stderr_is_terminal() {
    static const bool terminal = isatty(STDERR_FILENO) == 1;
    return terminal;
}

}  // namespace platform
