#include "platform/log_viewer.h"

namespace platform {

// A file name cannot hold a double quote, so quoting makes the whole name one argument.
std::string log_viewer_command(const std::string& file_name) {
    return "notepad \"" + file_name + "\"";
}

}  // namespace platform
