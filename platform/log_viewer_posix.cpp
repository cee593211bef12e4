#include <cstdlib>

#include "platform/log_viewer.h"

namespace platform {
namespace {

// One word for the shell whatever the name holds: single quotes, each quote inside closed,
// escaped and reopened.
std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

std::string log_viewer_command(const std::string& file_name) {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return std::string(value) + " " + shell_quoted(file_name);
        }
    }
    return "less " + shell_quoted(file_name);
}

}  // namespace platform
