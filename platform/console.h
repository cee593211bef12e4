// Console facilities the presentation layer needs: colours, screen clearing and terminal mode.
// Colours are the console attribute values used throughout the program (7 = default grey,
// 9..15 = the bright colours); on a terminal without native attributes they map to ANSI SGR.
#pragma once

#include <cstdint>

namespace platform {

// Asks the console to interpret escape sequences in standard output (needed by the live progress
// line). Failures are ignored: output that is not a console simply carries the bytes through.
void enable_virtual_terminal();

// Sets the colour of text written to std::cout from now on. Anything already written to std::cout
// is flushed first so it keeps its colour. Does nothing when standard output is not a terminal or
// NO_COLOR is set to a non-empty value.
void set_text_attribute(std::uint16_t attribute);

// Clears the visible screen and moves the cursor home. Does nothing visible when standard output is
// not a terminal.
void clear_screen();

// True when colour may be written to standard output: it is a terminal (a console on Windows)
// and NO_COLOR is unset or empty. Escape sequences written by hand follow the same rule.
bool colors_enabled();

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// True when standard error is an interactive terminal (the batch commands draw their progress
// there).
bool stderr_is_terminal();

// True when colour may be written to standard error: it is a terminal and NO_COLOR is unset or
// empty. Only escape sequences are used there (Windows consoles process them once
// enable_virtual_terminal has run).
bool stderr_colors_enabled();

}  // namespace platform
