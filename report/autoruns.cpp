#include "report/autoruns.h"

#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "console/console.h"
#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_checker.h"

namespace {

// The escapes every Desktop Entry string value may hold, undone before the Exec rules apply.
std::string unescape_desktop_value(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += '\\';
                out += value[i];
                break;
        }
    }
    return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first argument of a command line: a double-quoted argument (where a backslash keeps the next
// '"', '`', '$' or '\' literal) or the text up to the first blank.
std::string first_argument(const std::string& line) {
    std::size_t at = 0;
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at == line.size()) return "";
    std::string argument;
    if (line[at] != '"') {
        while (at < line.size() && !is_blank(line[at])) argument += line[at++];
        return argument;
    }
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"') return argument;
        if (c == '\\' && at + 1 < line.size()) {
            const char next = line[at + 1];
            if (next == '"' || next == '`' || next == '$' || next == '\\') {
                argument += next;
                ++at;
                continue;
            }
        }
        argument += c;
    }
    return "";  // the quote was never closed
}

std::string program_path(const std::string& command, platform::AutostartKind kind,
                         const std::string& search_path) {
    if (kind == platform::AutostartKind::kRegistryKey) return extract_autorun_path(command);
    const std::string program = extract_exec_program(command, kind);
    if (program.empty() || program.find('/') != std::string::npos) return program;
    return find_in_search_path(program, search_path);
}

}  // namespace

std::string extract_autorun_path(const std::string& text) {
    if (!text.empty() && text.front() == '"') {
        const auto closing = text.size() > 1 ? text.find('"', 1) : std::string::npos;
        return closing == std::string::npos ? text : text.substr(1, closing - 1);
    }
    const auto exe = text.size() >= 4 ? text.find(".exe") : std::string::npos;
    return exe == std::string::npos ? text : text.substr(0, exe + 4);
}

std::string extract_exec_program(const std::string& command, platform::AutostartKind kind) {
    if (kind == platform::AutostartKind::kDesktopFiles) {
        return first_argument(unescape_desktop_value(command));
    }
    std::size_t at = 0;
    while (at < command.size() && is_blank(command[at])) ++at;
    while (at < command.size() &&
           std::string_view("-@:+!").find(command[at]) != std::string::npos) {
        ++at;
    }
    return first_argument(command.substr(at));
}

std::string find_in_search_path(const std::string& name, const std::string& search_path) {
    std::size_t start = 0;
    while (start <= search_path.size()) {
        std::size_t end = search_path.find(':', start);
        if (end == std::string::npos) end = search_path.size();
        const std::string folder = search_path.substr(start, end - start);
        start = end + 1;
        // An empty entry would mean the working folder, which a start-up entry never runs from.
        if (folder.empty()) continue;
        const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
    return "";
}

void check_registry_autoruns(const HashChecker& checker, Logger& logger,
                             const AutorunCheckOptions& options) {
    print_colored(platform::kAutostartCheckHeading, kLightCyan);
    logger.log(platform::kAutostartLogStart);
    int checked = 0;
    int malicious = 0;
    for (const auto& location : options.locations) {
        for (const auto& entry : platform::read_autostart_entries(location)) {
            const std::string path_text =
                program_path(entry.command, location.kind, options.search_path);
            std::filesystem::path path;
            if (path_text.empty() || !platform::path_from_narrow(path_text, path)) continue;
            // A path whose status cannot be queried is passed over like a missing one.
            std::error_code error;
            if (!std::filesystem::is_regular_file(path, error) || error) continue;
            ++checked;
            std::string hash;
            if (!compute_file_hash(path, hash) || !checker.contains(hash)) continue;
            print_colored(
                "[ALERT] Malicious Startup Found: " + location.label + " -> " + entry.name,
                kLightRed);
            std::cout << "        Path: " << path_text << "\n";
            logger.log(platform::kAutostartLogTag + location.label + " " + entry.name + " -> " +
                       path_text);
            ++malicious;
        }
    }
    print_colored(platform::kAutostartSummary + std::to_string(checked) + " entries checked. " +
                      std::to_string(malicious) + " malicious detected.",
                  kLightGreen);
}
