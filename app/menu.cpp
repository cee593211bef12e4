#include "app/menu.h"

#include <iostream>
#include <limits>

#include "console/console.h"

InputResult read_number(std::istream& in, int& value) {
    if (in >> value) return InputResult::kNumber;
    if (in.eof()) return InputResult::kEnd;
    in.clear();
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return InputResult::kNotNumber;
}

MenuAction read_menu_action(std::istream& in) {
    int choice = 0;
    switch (read_number(in, choice)) {
        case InputResult::kEnd:
            return MenuAction::kExit;
        case InputResult::kNotNumber:
            return MenuAction::kRedraw;
        case InputResult::kNumber:
            break;
    }
    switch (choice) {
        case 1:
            return MenuAction::kScan;
        case 2:
            return MenuAction::kClean;
        case 3:
            return MenuAction::kMemory;
        case 4:
            return MenuAction::kUpdate;
        case 5:
            return MenuAction::kExit;
        default:
            return MenuAction::kRedraw;
    }
}

void wait_for_return(std::istream& in) {
    std::cout << "\nPress Enter to return to menu..." << std::flush;
    in.get();
    in.get();
}

namespace {

// An option is on only for the answer 1; any other number or a non-number leaves it off.
bool read_option(std::istream& in, const char* prompt, bool& ended) {
    std::cout << prompt << std::flush;
    int answer = 0;
    const InputResult result = read_number(in, answer);
    if (result == InputResult::kEnd) ended = true;
    return result == InputResult::kNumber && answer == 1;
}

}  // namespace

std::optional<ScanRequest> run_scan_dialog(std::istream& in, const ScanRoots& roots) {
    print_colored("\n--- Scan Configuration ---", kYellow);
    std::cout << "1. Quick Scan (Common Folders)\n"
              << "2. Full Scan (Entire System Drive)\n"
              << "3. Custom Scan (Select Folder)\n"
              << "4. Go Back\n"
              << "Choice: " << std::flush;
    int kind = 0;
    if (read_number(in, kind) != InputResult::kNumber || kind == 4) return std::nullopt;

    ScanRequest request;
    bool ended = false;
    request.config.skip_system_folders = false;
    request.config.enable_heuristics =
        read_option(in, "Enable Heuristics (Entropy Check) [0/1]: ", ended);
    request.config.verify_signatures =
        read_option(in, "Verify Digital Signatures (Skip Trusted) [0/1]: ", ended);
    if (ended) return std::nullopt;

    switch (kind) {
        case 1:
            request.roots = roots.quick;
            break;
        case 2:
            request.roots = {roots.full};
            break;
        case 3: {
            std::cout << "Enter path to scan: " << std::flush;
            std::string path;
            // Leading blanks (and the line break of the previous answer) go; trailing ones stay.
            if (!std::getline(in >> std::ws, path)) return std::nullopt;
            request.roots = {path};
            break;
        }
        default:
            return std::nullopt;
    }
    return request;
}
