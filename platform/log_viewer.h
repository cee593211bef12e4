// The command line that shows a text file to the user in a viewer or editor.
#pragma once

#include <string>

namespace platform {

// Windows: the system text editor. Elsewhere: $VISUAL, else $EDITOR, else less, in the same
// terminal. The file name is passed as the command's last word, quoted as one argument.
std::string log_viewer_command(const std::string& file_name);

}  // namespace platform
