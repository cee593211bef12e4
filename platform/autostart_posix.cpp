#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "platform/autostart.h"

namespace platform {

const char kAutostartCheckHeading[] = "\n[INFO] Checking Autostart Entries & Startup...";
const char kAutostartLogStart[] = "Starting Autostart Scan";
const char kAutostartLogTag[] = "[MALICIOUS-AUTOSTART] ";
const char kAutostartSummary[] = "[INFO] Autostart Scan Complete. ";

namespace {

constexpr std::size_t kMaxEntryFileBytes = 1 << 20;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The user's configuration folder: XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string config_home() {
    const std::string xdg = environment("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg.front() == '/') return xdg;
    return environment("HOME") + "/.config";
}

// Reads a small regular file without ever blocking: a FIFO or device is refused before any read.
bool read_small_file(const std::filesystem::path& path, std::string& content) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::size_t>(info.st_size) <= kMaxEntryFileBytes;
    if (ok) {
        content.assign(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = read(fd, content.data() + done, content.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        content.resize(done);
    }
    close(fd);
    return ok;
}

// The value of `key` in the group `group` of a key file (.desktop or systemd unit). The first
// occurrence counts; blanks around "=" are allowed.
bool key_value(const std::string& content, const std::string& group, const std::string& key,
               std::string& value) {
    bool in_group = false;
    std::size_t start = 0;
    while (start <= content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            in_group = line == "[" + group + "]";
            continue;
        }
        if (!in_group || line.compare(0, key.size(), key) != 0) continue;
        std::size_t at = key.size();
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size() || line[at] != '=') continue;
        ++at;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        value = line.substr(at);
        return true;
    }
    return false;
}

}  // namespace

std::vector<AutostartLocation> default_autostart_locations() {
    std::vector<AutostartLocation> locations;
    locations.push_back({AutostartKind::kDesktopFiles, config_home() + "/autostart", "XDG user"});
    std::string dirs = environment("XDG_CONFIG_DIRS");
    if (dirs.empty()) dirs = "/etc/xdg";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/') {
            locations.push_back({AutostartKind::kDesktopFiles, dir + "/autostart", "XDG system"});
        }
        start = end + 1;
    }
    locations.push_back(
        {AutostartKind::kSystemdUnits, config_home() + "/systemd/user", "systemd user"});
    locations.push_back({AutostartKind::kSystemdUnits, "/etc/systemd/system", "systemd system"});
    return locations;
}

std::vector<AutostartEntry> read_autostart_entries(const AutostartLocation& location) {
    std::vector<AutostartEntry> entries;
    const bool desktop = location.kind == AutostartKind::kDesktopFiles;
    if (!desktop && location.kind != AutostartKind::kSystemdUnits) return entries;
    const std::string extension = desktop ? ".desktop" : ".service";
    const std::string group = desktop ? "Desktop Entry" : "Service";
    const std::string key = desktop ? "Exec" : "ExecStart";

    std::error_code error;
    std::filesystem::directory_iterator it(location.place, error);
    if (error) return entries;
    std::vector<std::filesystem::path> files;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) break;
        const auto& path = it->path();
        if (path.extension() == extension) files.push_back(path);
    }
    // Directory order is arbitrary; a sorted order makes the output repeatable.
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::string content;
        std::string command;
        if (!read_small_file(path, content) || !key_value(content, group, key, command)) continue;
        entries.push_back({path.filename().string(), command});
    }
    return entries;
}

std::string executable_search_path() { return environment("PATH"); }

bool path_from_narrow(const std::string& text, std::filesystem::path& out) {
    out = std::filesystem::path(text);
    return true;
}

}  // namespace platform
