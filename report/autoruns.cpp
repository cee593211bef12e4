#include "report/autoruns.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "console/console.h"
#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_checker.h"
#include "hashdb/rule_set.h"
#include "report/autoruns_sources.h"

namespace {

// How an issue line begins, and what marks a hidden desktop entry.
constexpr char kWarningTag[] = "[WARN] ";
constexpr char kErrorTag[] = "[ERROR] ";
constexpr char kHiddenMark[] = " (Hidden=true)";
constexpr char kMissingLibrary[] = "listed library not found";
constexpr char kPerKindLog[] = "Autostart entries checked per kind: ";

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
// '"', '`', '$' or '\' literal), with `single_quotes` also one in single quotes (taken as they
// are), or the text up to the first blank.
std::string first_argument(const std::string& line, bool single_quotes) {
    std::size_t at = 0;
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at == line.size()) return "";
    std::string argument;
    if (single_quotes && line[at] == '\'') {
        const auto closing = line.find('\'', at + 1);
        return closing == std::string::npos ? "" : line.substr(at + 1, closing - at - 1);
    }
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

const char* kind_name(platform::AutostartKind kind) {
    switch (kind) {
        case platform::AutostartKind::kRegistryKey:
            return "registry";
        case platform::AutostartKind::kDesktopFiles:
            return "xdg";
        case platform::AutostartKind::kSystemdUnits:
            return "systemd";
        case platform::AutostartKind::kSystemCrontab:
        case platform::AutostartKind::kSystemCrontabs:
        case platform::AutostartKind::kUserCrontabs:
        case platform::AutostartKind::kCronScripts:
            return "cron";
        case platform::AutostartKind::kRcLocal:
        case platform::AutostartKind::kSysvStartLinks:
            return "rc";
        case platform::AutostartKind::kPreload:
            return "preload";
    }
    return "";
}

// Hashes the program, looks it up and matches it against the rules. A path whose status cannot be
// queried counts as missing. Returns why the rules could not be matched, or empty.
std::string judge(const HashChecker& checker, const RuleSet* rules, AutostartEntryResult& entry,
                  bool unresolved) {
    entry.verdict = AutostartVerdict::kMissingProgram;
    std::filesystem::path path;
    if (unresolved || entry.program.empty() || !platform::path_from_narrow(entry.program, path)) {
        return {};
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error) return {};
    std::string hash;
    platform::FileStamp stamp;
    if (!compute_file_hash(path, hash, &stamp)) {
        entry.verdict = AutostartVerdict::kNotHashed;
        return {};
    }
    entry.sha256 = hash;
    entry.verdict = AutostartVerdict::kClean;
    // An empty program holds nothing to find, whatever a list says of the digest of empty input.
    if (stamp.size == 0) return {};
    entry.listed = checker.contains(hash);
    std::string rule_error;
    if (rules != nullptr && rules->active()) {
        RuleMatch match = match_file_against_rules(*rules, path);
        if (match.outcome == RuleOutcome::kDone) {
            entry.rules = std::move(match.rules);
        } else if (match.outcome != RuleOutcome::kTooLarge) {
            rule_error = std::move(match.error);
        }
    }
    if (entry.listed || !entry.rules.empty()) entry.verdict = AutostartVerdict::kMalicious;
    return rule_error;
}

}  // namespace

std::string autostart_reasons_text(const AutostartEntryResult& entry) {
    if (entry.rules.empty()) return {};
    std::string text = entry.listed ? " (hash; rule " : " (rule ";
    for (std::size_t i = 0; i < entry.rules.size(); ++i) {
        text += (i == 0 ? "" : ", ") + entry.rules[i];
    }
    return text + ")";
}

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
        return first_argument(unescape_desktop_value(command), false);
    }
    std::size_t at = 0;
    while (at < command.size() && is_blank(command[at])) ++at;
    while (at < command.size() &&
           std::string_view("-@:+!").find(command[at]) != std::string::npos) {
        ++at;
    }
    return first_argument(command.substr(at), true);
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

const char* verdict_name(AutostartVerdict verdict) {
    switch (verdict) {
        case AutostartVerdict::kClean:
            return "clean";
        case AutostartVerdict::kMalicious:
            return "malicious";
        case AutostartVerdict::kNotHashed:
            return "not-hashed";
        case AutostartVerdict::kMissingProgram:
            return "missing";
    }
    return "";
}

AutostartCheckResult run_autostart_check(const HashChecker& checker,
                                         const AutorunCheckOptions& options) {
    AutostartCheckResult result;
    autoruns::Findings findings;
    for (const auto& location : options.locations) {
        const std::string kind = kind_name(location.kind);
        auto count = std::find_if(result.checked_per_kind.begin(), result.checked_per_kind.end(),
                                  [&](const AutostartKindCount& c) { return c.kind == kind; });
        if (count == result.checked_per_kind.end()) {
            result.checked_per_kind.push_back({kind, 0});
            count = result.checked_per_kind.end() - 1;
        }
        findings.programs.clear();
        findings.problems.clear();
        autoruns::read_location(location, options.search_path, findings);
        for (auto& found : findings.programs) {
            AutostartEntryResult entry;
            entry.kind = kind;
            entry.location_label = location.label;
            entry.name = std::move(found.name);
            entry.source = std::move(found.source);
            entry.setting = std::move(found.setting);
            entry.command = std::move(found.command);
            entry.program = std::move(found.program);
            entry.user = std::move(found.user);
            entry.hidden = found.hidden;
            const std::string rule_error = judge(checker, options.rules, entry, found.unresolved);
            if (!rule_error.empty()) {
                result.issues.push_back({AutostartIssue::Severity::kWarning, kind, location.label,
                                         entry.name, entry.source,
                                         "rules not matched against " + entry.program + ": " +
                                             rule_error});
            }
            if (entry.verdict != AutostartVerdict::kMissingProgram) {
                ++result.checked;
                ++count->checked;
            }
            if (entry.verdict == AutostartVerdict::kMalicious) ++result.malicious;
            if (entry.verdict == AutostartVerdict::kMissingProgram && found.warn_if_missing) {
                entry.note = kMissingLibrary;
                result.issues.push_back({AutostartIssue::Severity::kWarning, kind, location.label,
                                         entry.name, entry.source,
                                         std::string(kMissingLibrary) + ": " + entry.program});
            }
            result.entries.push_back(std::move(entry));
        }
        for (auto& problem : findings.problems) {
            result.issues.push_back({AutostartIssue::Severity::kError, kind, location.label,
                                     std::move(problem.name), std::move(problem.source),
                                     std::move(problem.reason)});
        }
    }
    return result;
}

void check_registry_autoruns(const HashChecker& checker, Logger& logger,
                             const AutorunCheckOptions& options) {
    print_colored(platform::kAutostartCheckHeading, kLightCyan);
    logger.log(platform::kAutostartLogStart);
    const AutostartCheckResult result = run_autostart_check(checker, options);
    for (const auto& entry : result.entries) {
        if (entry.verdict != AutostartVerdict::kMalicious) continue;
        // Names and paths are the system's; their control characters are shown escaped.
        const std::string name = printable(entry.name) + (entry.hidden ? kHiddenMark : "");
        print_colored("[ALERT] Malicious Startup Found: " + entry.location_label + " -> " + name,
                      kLightRed);
        std::cout << "        Path: " << printable(entry.program) << "\n";
        if (!entry.rules.empty()) {
            std::string names;
            for (const auto& rule : entry.rules) names += (names.empty() ? "" : ", ") + rule;
            std::cout << "        Rules: " << printable(names) << "\n";
        }
        logger.log(platform::kAutostartLogTag + entry.location_label + " " + name + " -> " +
                   entry.program + autostart_reasons_text(entry));
    }
    for (const auto& issue : result.issues) {
        const bool warning = issue.severity == AutostartIssue::Severity::kWarning;
        const std::string line = (warning ? kWarningTag : kErrorTag) + issue.location_label +
                                 " -> " + printable(issue.name) + ": " + printable(issue.reason);
        print_colored(line, warning ? kYellow : kLightRed);
        logger.log(line);
    }
    print_colored(platform::kAutostartSummary + std::to_string(result.checked) +
                      " entries checked. " + std::to_string(result.malicious) +
                      " malicious detected.",
                  kLightGreen);
    std::string per_kind;
    for (const auto& count : result.checked_per_kind) {
        per_kind +=
            (per_kind.empty() ? "" : ", ") + count.kind + " " + std::to_string(count.checked);
    }
    if (!per_kind.empty()) logger.log(kPerKindLog + per_kind);
}
