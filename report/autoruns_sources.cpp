#include "report/autoruns_sources.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>

#include "report/autoruns.h"

namespace autoruns {
namespace {

namespace fs = std::filesystem;
using platform::AutostartKind;
using platform::AutostartLocation;
using platform::SmallFile;
using platform::SmallFileStatus;

// Why an entry was not read.
constexpr char kNotRegularFile[] = "not a regular file";
constexpr char kLargerThan[] = "larger than ";
constexpr char kBytes[] = " bytes";
constexpr char kUnitNotFound[] = "unit file not found: ";
constexpr char kUnitUnreadable[] = "unit file cannot be read: ";
constexpr char kTriggeredUnitMissing[] = "the unit it starts is not found: ";
constexpr char kDropInUnreadable[] = "drop-in cannot be read: ";
constexpr char kFolderUnreadable[] = "folder cannot be read: ";
constexpr char kStartLinkBroken[] = "start link cannot be followed: ";

// The unit types whose programs are checked: services, and what starts a service.
constexpr std::string_view kUnitSuffixes[] = {".service", ".timer", ".socket", ".path"};
// Every setting of a service that runs a program when it starts or stops by itself (not on a
// reload, which only an administrator asks for).
constexpr const char* kServiceExecKeys[] = {"ExecCondition", "ExecStartPre", "ExecStart",
                                            "ExecStartPost", "ExecStop",     "ExecStopPost"};
constexpr const char* kSocketExecKeys[] = {"ExecStartPre", "ExecStartPost", "ExecStopPre",
                                           "ExecStopPost"};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::vector<std::string_view> split_lines(std::string_view content) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string read_failure(const SmallFile& file) {
    switch (file.status) {
        case SmallFileStatus::kNotRegular:
            return kNotRegularFile;
        case SmallFileStatus::kTooLarge:
            return kLargerThan + std::to_string(kMaxConfigFileBytes) + kBytes;
        default:
            return file.error;
    }
}

std::string file_name(const fs::path& path) { return path.filename().string(); }

// "cron.d/e2scrub_all": the folder's own name and the entry's.
std::string shown_in(const std::string& folder, const std::string& entry) {
    return file_name(fs::path(folder)) + "/" + entry;
}

// The names in a folder, sorted, so the output is repeatable. A folder that does not exist gives
// none without a word, as most systems lack some of the places; any other failure is a problem.
std::vector<std::string> list_folder(const fs::path& folder, Findings& findings) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(file_name(it->path()));
    }
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory) {
        findings.problems.push_back(
            {file_name(folder), folder.string(), kFolderUnreadable + error.message()});
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool is_real_folder(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

// A regular file (following links) that someone may execute.
bool is_executable_file(const fs::file_status& status) {
    constexpr auto kAnyExec =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    return status.type() == fs::file_type::regular &&
           (status.permissions() & kAnyExec) != fs::perms::none;
}

// Names the program's file: an absolute path as it is, a bare name through the search path.
// A relative path with a folder in it would depend on a working folder this check does not have.
void resolve_program(const std::string& program, const std::string& search_path,
                     FoundProgram& found) {
    found.program = program;
    found.unresolved = true;
    if (program.empty()) return;
    if (program.front() == '/') {
        found.unresolved = false;
    } else if (program.find('/') == std::string::npos) {
        const std::string path = find_in_search_path(program, search_path);
        if (!path.empty()) {
            found.program = path;
            found.unresolved = false;
        }
    }
}

// Taken by reference, so the key may be made from the entry in the same call.
void add_once(const std::string& key, FoundProgram&& found, Findings& findings) {
    if (findings.seen.insert(key).second) findings.programs.push_back(std::move(found));
}

// A file that is run as it is: a cron script, rc.local, an init script. Listed once per kind, as
// the same script is started from several run levels.
void add_started_file(const std::string& kind, const std::string& shown, const fs::path& program,
                      const fs::path& source, Findings& findings) {
    FoundProgram found;
    found.name = shown;
    found.source = source.string();
    found.command = program.string();
    found.program = program.string();
    add_once(kind + "\n" + found.program, std::move(found), findings);
}

// --- systemd ---------------------------------------------------------------------------------

bool is_checked_unit(const std::string& name) {
    return std::any_of(std::begin(kUnitSuffixes), std::end(kUnitSuffixes),
                       [&](std::string_view suffix) {
                           return name.size() > suffix.size() && ends_with(name, suffix);
                       });
}

std::string unit_suffix(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot);
}

std::string unit_stem(const std::string& name) { return name.substr(0, name.rfind('.')); }

// "getty@tty1.service" -> "getty@.service"; empty for a name that is no instance.
std::string template_of(const std::string& name) {
    const auto at = name.find('@');
    const auto dot = name.rfind('.');
    if (at == std::string::npos || dot == std::string::npos || dot <= at + 1) return "";
    return name.substr(0, at + 1) + name.substr(dot);
}

struct UnitFile {
    enum class State { kFound, kMasked, kMissing, kFailed };
    State state = State::kMissing;
    fs::path path;
    std::string content;
    std::string reason;
};

// An empty file or a link to /dev/null masks a unit: systemd never starts it.
UnitFile read_unit_file(const fs::path& path) {
    UnitFile unit;
    unit.path = path;
    SmallFile file = platform::read_small_file(path, kMaxConfigFileBytes);
    if (file.status == SmallFileStatus::kRead) {
        unit.state = file.content.empty() ? UnitFile::State::kMasked : UnitFile::State::kFound;
        unit.content = std::move(file.content);
    } else if (file.status == SmallFileStatus::kMissing) {
        unit.reason = file.error;
    } else {
        std::error_code error;
        const bool device = file.status == SmallFileStatus::kNotRegular &&
                            fs::status(path, error).type() == fs::file_type::character;
        unit.state = device ? UnitFile::State::kMasked : UnitFile::State::kFailed;
        unit.reason = read_failure(file);
    }
    return unit;
}

std::vector<std::string> unit_folders(const AutostartLocation& location) {
    if (!location.unit_folders.empty()) return location.unit_folders;
    return {location.place};
}

// The unit by name, as systemd loads it: the first folder holding the name, else the first
// holding its template.
UnitFile find_unit(const AutostartLocation& location, const std::string& name) {
    for (const std::string& candidate : {name, template_of(name)}) {
        if (candidate.empty()) continue;
        for (const auto& folder : unit_folders(location)) {
            UnitFile unit = read_unit_file(fs::path(folder) / candidate);
            if (unit.state != UnitFile::State::kMissing) return unit;
        }
    }
    return {};
}

struct Assignment {
    std::string value;
    std::string source;
};
using UnitSettings = std::map<std::pair<std::string, std::string>, std::vector<Assignment>>;

// Each assignment adds to the list of its setting; an empty one clears the list, as systemd does.
void apply(const std::string& content, const std::string& source, UnitSettings& settings) {
    for (auto& assignment : parse_unit_file(content)) {
        auto& list = settings[{assignment.section, assignment.key}];
        if (assignment.value.empty()) {
            list.clear();
        } else {
            list.push_back({std::move(assignment.value), source});
        }
    }
}

// The drop-in folders of a unit, most specific first: its own name, its template, the name of
// the file it was read from (an alias), the name's dash-separated prefixes ("foo-.service.d"),
// and the folder of its whole type ("service.d").
std::vector<std::string> drop_in_folder_names(const std::string& name, const fs::path& file) {
    std::vector<std::string> names = {name, template_of(name)};
    std::error_code error;
    const fs::path canonical = fs::canonical(file, error);
    if (!error) names.push_back(file_name(canonical));
    const std::string suffix = unit_suffix(name);
    const std::string stem = unit_stem(name).substr(0, unit_stem(name).find('@'));
    for (auto dash = stem.rfind('-'); dash != std::string::npos && dash > 0;
         dash = stem.rfind('-', dash - 1)) {
        names.push_back(stem.substr(0, dash + 1) + suffix);
    }
    if (!suffix.empty()) names.push_back(suffix.substr(1));
    std::vector<std::string> folders;
    for (const auto& n : names) {
        if (!n.empty() && std::find(folders.begin(), folders.end(), n + ".d") == folders.end()) {
            folders.push_back(n + ".d");
        }
    }
    return folders;
}

UnitSettings unit_settings(const AutostartLocation& location, const std::string& name,
                           const UnitFile& unit, const std::string& shown, Findings& findings) {
    UnitSettings settings;
    apply(unit.content, unit.path.string(), settings);
    // A drop-in of a folder of higher priority replaces one of the same name further down; all
    // apply in the order of their names.
    std::map<std::string, fs::path> drop_ins;
    for (const auto& folder : unit_folders(location)) {
        for (const auto& drop_in_folder : drop_in_folder_names(name, unit.path)) {
            const fs::path dir = fs::path(folder) / drop_in_folder;
            for (const auto& entry : list_folder(dir, findings)) {
                if (ends_with(entry, ".conf")) drop_ins.emplace(entry, dir / entry);
            }
        }
    }
    for (const auto& [entry, path] : drop_ins) {
        const UnitFile drop_in = read_unit_file(path);
        if (drop_in.state == UnitFile::State::kFound) {
            apply(drop_in.content, path.string(), settings);
        } else if (drop_in.state == UnitFile::State::kFailed) {
            findings.problems.push_back({shown, path.string(), kDropInUnreadable + drop_in.reason});
        }
    }
    return settings;
}

const std::vector<Assignment>& values(const UnitSettings& settings, const std::string& section,
                                      const std::string& key) {
    static const std::vector<Assignment> kNone;
    const auto it = settings.find({section, key});
    return it == settings.end() ? kNone : it->second;
}

std::string last_value(const UnitSettings& settings, const std::string& section,
                       const std::string& key) {
    const auto& list = values(settings, section, key);
    return list.empty() ? "" : list.back().value;
}

// The unit a timer, path or socket starts.
std::string triggered_unit(const std::string& name, const UnitSettings& settings) {
    const std::string suffix = unit_suffix(name);
    if (suffix == ".timer" || suffix == ".path") {
        const std::string unit =
            last_value(settings, suffix == ".timer" ? "Timer" : "Path", "Unit");
        return unit.empty() ? unit_stem(name) + ".service" : unit;
    }
    const std::string service = last_value(settings, "Socket", "Service");
    if (!service.empty()) return service;
    const std::string accept = last_value(settings, "Socket", "Accept");
    const bool per_connection =
        accept == "yes" || accept == "true" || accept == "on" || accept == "1";
    if (!per_connection) return unit_stem(name) + ".service";
    const std::string stem = unit_stem(name);
    return stem.substr(0, stem.find('@')) + "@.service";
}

void add_exec_programs(const AutostartLocation& location, const std::string& search_path,
                       const std::string& name, const std::string& identity,
                       const UnitSettings& settings, const std::string& section,
                       const std::vector<std::string>& keys, const std::string& shown,
                       Findings& findings) {
    for (const auto& key : keys) {
        for (const auto& assignment : values(settings, section, key)) {
            FoundProgram found;
            found.name = shown;
            found.source = assignment.source;
            found.setting = key;
            found.command = assignment.value;
            const std::string program = expand_unit_specifiers(
                extract_exec_program(assignment.value, AutostartKind::kSystemdUnits), name,
                location.home);
            resolve_program(program, search_path, found);
            add_once("systemd\n" + identity + "\n" + found.program, std::move(found), findings);
        }
    }
}

void read_unit(const AutostartLocation& location, const std::string& search_path,
               const std::string& name, const UnitFile& unit, const std::string& shown,
               Findings& findings) {
    const UnitSettings settings = unit_settings(location, name, unit, shown, findings);
    // A unit reached through several links or aliases is one file; its programs count once.
    std::error_code error;
    fs::path identity = fs::canonical(unit.path, error);
    if (error) identity = unit.path;
    const std::string suffix = unit_suffix(name);
    if (suffix == ".service") {
        add_exec_programs(location, search_path, name, identity.string(), settings, "Service",
                          {std::begin(kServiceExecKeys), std::end(kServiceExecKeys)}, shown,
                          findings);
        return;
    }
    if (suffix == ".socket") {
        add_exec_programs(location, search_path, name, identity.string(), settings, "Socket",
                          {std::begin(kSocketExecKeys), std::end(kSocketExecKeys)}, shown,
                          findings);
    }
    const std::string target = triggered_unit(name, settings);
    // Only a service runs programs; a timer may also start a target, which runs none.
    if (unit_suffix(target) != ".service") return;
    const UnitFile service = find_unit(location, target);
    const std::string service_shown = shown + " (" + target + ")";
    switch (service.state) {
        case UnitFile::State::kFound:
            read_unit(location, search_path, target, service, service_shown, findings);
            break;
        case UnitFile::State::kMissing:
            findings.problems.push_back(
                {shown, unit.path.string(), kTriggeredUnitMissing + target});
            break;
        case UnitFile::State::kFailed:
            findings.problems.push_back(
                {service_shown, service.path.string(), kUnitUnreadable + service.reason});
            break;
        case UnitFile::State::kMasked:
            break;
    }
}

// A unit named by a link in a .wants or .requires folder: looked up by the link's name, as
// systemd does; only when no unit folder holds that name is the link itself followed to read it.
void read_enabled_unit(const AutostartLocation& location, const std::string& search_path,
                       const fs::path& link, const std::string& shown, Findings& findings) {
    const std::string name = file_name(link);
    UnitFile unit = find_unit(location, name);
    if (unit.state == UnitFile::State::kMissing) {
        unit = read_unit_file(link);
        if (unit.state == UnitFile::State::kMissing) {
            findings.problems.push_back({shown, link.string(), kUnitNotFound + unit.reason});
            return;
        }
    }
    if (unit.state == UnitFile::State::kFailed) {
        findings.problems.push_back({shown, unit.path.string(), kUnitUnreadable + unit.reason});
    } else if (unit.state == UnitFile::State::kFound) {
        read_unit(location, search_path, name, unit, shown, findings);
    }
}

void read_systemd(const AutostartLocation& location, const std::string& search_path,
                  Findings& findings) {
    const fs::path place(location.place);
    const auto names = list_folder(place, findings);
    for (const auto& folder : names) {
        if (!(ends_with(folder, ".wants") || ends_with(folder, ".requires")) ||
            !is_real_folder(place / folder)) {
            continue;
        }
        for (const auto& entry : list_folder(place / folder, findings)) {
            if (!is_checked_unit(entry)) continue;
            read_enabled_unit(location, search_path, place / folder / entry, folder + "/" + entry,
                              findings);
        }
    }
    if (!location.direct_units) return;
    for (const auto& name : names) {
        if (!is_checked_unit(name) || is_real_folder(place / name)) continue;
        const UnitFile unit = read_unit_file(place / name);
        if (unit.state == UnitFile::State::kFound) {
            read_unit(location, search_path, name, unit, name, findings);
        } else if (unit.state != UnitFile::State::kMasked) {
            findings.problems.push_back({name, unit.path.string(), kUnitUnreadable + unit.reason});
        }
    }
}

// --- cron ------------------------------------------------------------------------------------

void read_crontab(const fs::path& path, const std::string& shown, bool user_field,
                  const std::string& owner, const std::string& search_path, Findings& findings) {
    const SmallFile file = platform::read_small_file(path, kMaxConfigFileBytes);
    if (file.status == SmallFileStatus::kMissing || file.status == SmallFileStatus::kNotRegular) {
        return;
    }
    if (file.status != SmallFileStatus::kRead) {
        findings.problems.push_back({shown, path.string(), read_failure(file)});
        return;
    }
    for (const auto& job : parse_crontab(file.content, user_field)) {
        for (const auto& program : shell_command_programs(job.command)) {
            FoundProgram found;
            found.name = shown;
            found.source = path.string();
            found.setting = "line " + std::to_string(job.line);
            found.command = job.command;
            found.user = user_field ? job.user : owner;
            resolve_program(program, job.path.empty() ? search_path : job.path, found);
            add_once("cron\n" + found.source + "\n" + found.program, std::move(found), findings);
        }
    }
}

void read_cron(const AutostartLocation& location, const std::string& search_path,
               Findings& findings) {
    const fs::path place(location.place);
    if (location.kind == AutostartKind::kSystemCrontab) {
        read_crontab(place, file_name(place), true, "", search_path, findings);
        return;
    }
    for (const auto& entry : list_folder(place, findings)) {
        // Hidden files are package-manager leftovers and placeholders, never run.
        if (entry.front() == '.') continue;
        const fs::path path = place / entry;
        const std::string shown = shown_in(location.place, entry);
        if (location.kind == AutostartKind::kCronScripts) {
            std::error_code error;
            if (is_executable_file(fs::status(path, error))) {
                add_started_file("cron", shown, path, path, findings);
            }
            continue;
        }
        const bool user_field = location.kind == AutostartKind::kSystemCrontabs;
        read_crontab(path, shown, user_field, user_field ? "" : entry, search_path, findings);
    }
}

// --- start-up scripts ------------------------------------------------------------------------

bool is_run_level_folder(const std::string& name) {
    return name.size() == 5 && starts_with(name, "rc") && ends_with(name, ".d") &&
           ((name[2] >= '0' && name[2] <= '6') || name[2] == 'S');
}

void read_start_links(const AutostartLocation& location, Findings& findings) {
    const fs::path place(location.place);
    for (const auto& level : list_folder(place, findings)) {
        if (!is_run_level_folder(level) || !is_real_folder(place / level)) continue;
        for (const auto& entry : list_folder(place / level, findings)) {
            if (entry.front() != 'S') continue;
            const fs::path link = place / level / entry;
            const std::string shown = level + "/" + entry;
            std::error_code error;
            fs::path script = link;
            if (fs::is_symlink(fs::symlink_status(link, error))) {
                const fs::path target = fs::read_symlink(link, error);
                if (!error)
                    script = target.is_absolute()
                                 ? target
                                 : (link.parent_path() / target).lexically_normal();
            }
            const fs::file_status status = fs::status(link, error);
            if (error) {
                findings.problems.push_back(
                    {shown, link.string(), kStartLinkBroken + error.message()});
            } else if (is_executable_file(status)) {
                add_started_file("rc", shown, script, link, findings);
            }
        }
    }
}

void read_rc(const AutostartLocation& location, Findings& findings) {
    if (location.kind == AutostartKind::kSysvStartLinks) {
        read_start_links(location, findings);
        return;
    }
    const fs::path place(location.place);
    std::error_code error;
    const fs::file_status status = fs::status(place, error);
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory) {
        findings.problems.push_back({file_name(place), place.string(), error.message()});
    } else if (!error && is_executable_file(status)) {
        add_started_file("rc", file_name(place), place, place, findings);
    }
}

// --- preloaded libraries and desktop entries --------------------------------------------------

void read_preload(const AutostartLocation& location, const std::string& search_path,
                  Findings& findings) {
    const fs::path place(location.place);
    const SmallFile file = platform::read_small_file(place, kMaxConfigFileBytes);
    if (file.status == SmallFileStatus::kMissing) return;
    if (file.status != SmallFileStatus::kRead) {
        findings.problems.push_back({file_name(place), place.string(), read_failure(file)});
        return;
    }
    for (const auto& library : parse_preload_list(file.content)) {
        FoundProgram found;
        found.name = file_name(place);
        found.source = place.string();
        found.command = library;
        found.warn_if_missing = true;
        resolve_program(library, search_path, found);
        add_once("preload\n" + found.program, std::move(found), findings);
    }
}

void read_desktop_files(const AutostartLocation& location, const std::string& search_path,
                        Findings& findings) {
    const fs::path place(location.place);
    for (const auto& entry : list_folder(place, findings)) {
        if (!ends_with(entry, ".desktop")) continue;
        const SmallFile file = platform::read_small_file(place / entry, kMaxConfigFileBytes);
        if (file.status == SmallFileStatus::kMissing ||
            file.status == SmallFileStatus::kNotRegular) {
            continue;
        }
        if (file.status != SmallFileStatus::kRead) {
            findings.problems.push_back({entry, (place / entry).string(), read_failure(file)});
            continue;
        }
        FoundProgram found;
        if (!desktop_entry_value(file.content, "Desktop Entry", "Exec", found.command)) continue;
        std::string hidden;
        found.hidden = desktop_entry_value(file.content, "Desktop Entry", "Hidden", hidden) &&
                       hidden == "true";
        found.name = entry;
        found.source = (place / entry).string();
        found.setting = "Exec";
        resolve_program(extract_exec_program(found.command, AutostartKind::kDesktopFiles),
                        search_path, found);
        // Two entries naming one program are two ways it starts: both are listed.
        findings.programs.push_back(std::move(found));
    }
}

void read_registry(const AutostartLocation& location, Findings& findings) {
    for (auto& entry : platform::read_registry_entries(location)) {
        FoundProgram found;
        found.name = std::move(entry.name);
        found.source = location.place;
        found.program = extract_autorun_path(entry.command);
        found.command = std::move(entry.command);
        findings.programs.push_back(std::move(found));
    }
}

// --- text rules ------------------------------------------------------------------------------

bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// NAME=value, a variable setting that precedes a command.
bool is_assignment(const std::string& word) {
    if (word.empty() || !is_name_start(word.front())) return false;
    std::size_t at = 1;
    while (at < word.size() && is_name_char(word[at])) ++at;
    return at < word.size() && word[at] == '=';
}

// systemd's escaping of instance names: '-' stands for '/', "\xNN" for a byte.
std::string unescape_unit_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '-') {
            out += '/';
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

void read_location(const AutostartLocation& location, const std::string& search_path,
                   Findings& findings) {
    const std::string& path = location.search_path.empty() ? search_path : location.search_path;
    switch (location.kind) {
        case AutostartKind::kRegistryKey:
            read_registry(location, findings);
            break;
        case AutostartKind::kDesktopFiles:
            read_desktop_files(location, path, findings);
            break;
        case AutostartKind::kSystemdUnits:
            read_systemd(location, path, findings);
            break;
        case AutostartKind::kSystemCrontab:
        case AutostartKind::kSystemCrontabs:
        case AutostartKind::kUserCrontabs:
        case AutostartKind::kCronScripts:
            read_cron(location, path, findings);
            break;
        case AutostartKind::kRcLocal:
        case AutostartKind::kSysvStartLinks:
            read_rc(location, findings);
            break;
        case AutostartKind::kPreload:
            read_preload(location, path, findings);
            break;
    }
}

std::vector<UnitAssignment> parse_unit_file(const std::string& content) {
    std::vector<UnitAssignment> assignments;
    std::string section;
    auto take = [&](const std::string& text) {
        if (text.empty()) return;
        if (text.front() == '[') {
            const auto close = text.find(']');
            section = close == std::string::npos ? "" : text.substr(1, close - 1);
            return;
        }
        const auto equals = text.find('=');
        if (equals == std::string::npos) return;
        assignments.push_back({section, trim(std::string_view(text).substr(0, equals)),
                               trim(std::string_view(text).substr(equals + 1))});
    };
    std::string line;
    for (const auto raw : split_lines(content)) {
        const std::string part = trim(raw);
        // Comment lines are passed over, also between the parts of a continued line.
        if (starts_with(part, "#") || starts_with(part, ";")) continue;
        line += part;
        if (!line.empty() && line.back() == '\\') {
            line.back() = ' ';
            continue;
        }
        take(trim(line));
        line.clear();
    }
    take(trim(line));
    return assignments;
}

std::string expand_unit_specifiers(const std::string& text, const std::string& unit_name,
                                   const std::string& home) {
    const std::string stem = unit_stem(unit_name);
    const auto at = stem.find('@');
    const std::string prefix = stem.substr(0, at);
    const std::string instance = at == std::string::npos ? "" : stem.substr(at + 1);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (const char c = text[++i]) {
            case 'n':
                out += unit_name;
                break;
            case 'N':
                out += stem;
                break;
            case 'p':
                out += prefix;
                break;
            case 'P':
                out += unescape_unit_text(prefix);
                break;
            case 'i':
                out += instance;
                break;
            case 'I':
                out += unescape_unit_text(instance);
                break;
            case 'h':
                out += home;
                break;
            case '%':
                out += '%';
                break;
            default:
                out += '%';
                out += c;
                break;
        }
    }
    return out;
}

std::vector<CronJob> parse_crontab(const std::string& content, bool user_field) {
    std::vector<CronJob> jobs;
    std::string path;
    int number = 0;
    for (const auto raw : split_lines(content)) {
        ++number;
        std::string_view line = raw;
        while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
        if (line.empty() || line.front() == '#') continue;

        // A setting: a name, blanks allowed, '=' and the value, which may be quoted.
        std::size_t name_end = 0;
        while (name_end < line.size() && line[name_end] != '=' && !is_blank(line[name_end])) {
            ++name_end;
        }
        std::size_t equals = name_end;
        while (equals < line.size() && is_blank(line[equals])) ++equals;
        if (name_end > 0 && equals < line.size() && line[equals] == '=') {
            std::string value = trim(line.substr(equals + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            if (line.substr(0, name_end) == "PATH") path = value;
            continue;
        }

        // A job: "@reboot" and its kind, or five time fields; then the user; then the command.
        const int fields = line.front() == '@' ? 1 : 5;
        std::vector<std::string> words;
        std::size_t at = 0;
        while (static_cast<int>(words.size()) < fields + (user_field ? 1 : 0)) {
            while (at < line.size() && is_blank(line[at])) ++at;
            const std::size_t start = at;
            while (at < line.size() && !is_blank(line[at])) ++at;
            if (start == at) break;
            words.emplace_back(line.substr(start, at - start));
        }
        if (static_cast<int>(words.size()) < fields + (user_field ? 1 : 0)) continue;
        while (at < line.size() && is_blank(line[at])) ++at;
        // The first unescaped '%' ends the command; what follows is its standard input.
        std::string command;
        for (; at < line.size(); ++at) {
            if (line[at] == '\\' && at + 1 < line.size() && line[at + 1] == '%') {
                command += '%';
                ++at;
            } else if (line[at] == '%') {
                break;
            } else {
                command += line[at];
            }
        }
        if (trim(command).empty()) continue;
        jobs.push_back({number, user_field ? words.back() : "", command, path});
    }
    return jobs;
}

std::vector<std::string> shell_command_programs(const std::string& command) {
    // Words that open or continue a compound command rather than naming a program.
    static const std::set<std::string> kKeywords = {"!",     "{",     "}",    "if",  "then",
                                                    "else",  "elif",  "fi",   "do",  "done",
                                                    "while", "until", "exec", "time"};
    // Words after which the rest of the command names no program ("for x in a b").
    static const std::set<std::string> kListHeads = {"for", "case", "select"};
    std::vector<std::string> programs;
    std::string word;
    bool in_word = false;
    bool taken = false;            // the current command's program word was seen
    bool redirect_target = false;  // the next word is the file of a redirection
    auto end_word = [&] {
        if (!in_word) return;
        in_word = false;
        if (redirect_target) {
            redirect_target = false;
        } else if (!taken && !is_assignment(word) && !kKeywords.count(word)) {
            taken = true;
            if (!kListHeads.count(word)) programs.push_back(word);
        }
        word.clear();
    };
    const std::size_t size = command.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char c = command[i];
        if (c == '\\') {
            if (i + 1 < size) word += command[++i];
            in_word = true;
        } else if (c == '\'') {
            const auto close = command.find('\'', i + 1);
            const auto end = close == std::string::npos ? size : close;
            word += command.substr(i + 1, end - i - 1);
            i = end;
            in_word = true;
        } else if (c == '"') {
            for (++i; i < size && command[i] != '"'; ++i) {
                if (command[i] == '\\' && i + 1 < size &&
                    std::string_view("\"\\$`").find(command[i + 1]) != std::string_view::npos) {
                    ++i;
                }
                word += command[i];
            }
            in_word = true;
        } else if (c == '`' || (c == '$' && i + 1 < size && command[i + 1] == '(')) {
            // A command substitution stays part of its word; its inner commands are not followed.
            const char close = c == '`' ? '`' : ')';
            int depth = 0;
            std::size_t end = c == '`' ? i + 1 : i + 2;
            for (; end < size; ++end) {
                if (close == ')' && command[end] == '(') ++depth;
                if (command[end] == close && depth-- == 0) break;
            }
            end = std::min(end, size - 1);
            word += command.substr(i, end - i + 1);
            i = end;
            in_word = true;
        } else if (is_blank(c)) {
            end_word();
        } else if (c == '#' && !in_word) {
            break;
        } else if (c == '<' || c == '>' || (c == '&' && i + 1 < size && command[i + 1] == '>')) {
            // A number right before the operator names a descriptor, not a program.
            if (in_word && std::all_of(word.begin(), word.end(),
                                       [](char d) { return d >= '0' && d <= '9'; })) {
                word.clear();
                in_word = false;
            }
            end_word();
            while (i + 1 < size &&
                   std::string_view("<>&|").find(command[i + 1]) != std::string_view::npos)
                ++i;
            redirect_target = true;
        } else if (c == ';' || c == '&' || c == '|' || c == '(' || c == ')') {
            end_word();
            taken = false;
            redirect_target = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    end_word();
    return programs;
}

std::vector<std::string> parse_preload_list(const std::string& content) {
    std::vector<std::string> libraries;
    std::size_t at = 0;
    while (at < content.size()) {
        const auto end = content.find_first_of(": \t\n", at);
        const auto stop = end == std::string::npos ? content.size() : end;
        if (stop > at) libraries.push_back(content.substr(at, stop - at));
        at = stop + 1;
    }
    return libraries;
}

bool desktop_entry_value(const std::string& content, const std::string& group,
                         const std::string& key, std::string& value) {
    bool in_group = false;
    for (const auto line : split_lines(content)) {
        if (!line.empty() && line.front() == '[') {
            in_group = line == "[" + group + "]";
            continue;
        }
        if (!in_group || !starts_with(line, key)) continue;
        std::size_t at = key.size();
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size() || line[at] != '=') continue;
        ++at;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        value = std::string(line.substr(at));
        return true;
    }
    return false;
}

}  // namespace autoruns
