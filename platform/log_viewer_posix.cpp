#include <cstdlib>

#include "platform/log_viewer.h"

namespace platform {

std::string log_viewer_command(const std::string& file_name) {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return std::string(value) + " " + file_name;
    }
    return "less " + file_name;
}

}  // namespace platform
