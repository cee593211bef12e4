#include "platform/log_viewer.h"

namespace platform {

std::string log_viewer_command(const std::string& file_name) { return "notepad " + file_name; }

}  // namespace platform
