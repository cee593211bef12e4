// Keyboard input of the main menu and the scan configuration dialog. Input comes from a stream so
// the parsing can be driven by tests; the program passes std::cin.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "scanner/scan_directory.h"

enum class InputResult {
    kNumber,     // a signed 32-bit number was read; the rest of its line stays unread
    kNotNumber,  // not a number (or out of range): the error is cleared and the line discarded
    kEnd,        // standard input is closed
};

InputResult read_number(std::istream& in, int& value);

enum class MenuAction { kRedraw, kScan, kClean, kMemory, kUpdate, kExit };

// Reads the main-menu selection. Anything but 1..5 redraws; end of input exits.
MenuAction read_menu_action(std::istream& in);

// The "Press Enter to return to menu..." pause: drops the line break left after the number, then
// waits for one more character.
void wait_for_return(std::istream& in);

// The places the dialog's first two kinds of scan cover.
struct ScanRoots {
    std::vector<std::string> quick;
    std::string full;
};

// Asks for the kind of scan and its options (the caller has cleared the screen). Returns nothing
// when the user goes back, picks an unknown kind, or input ends.
std::optional<ScanRequest> run_scan_dialog(std::istream& in, const ScanRoots& roots);
