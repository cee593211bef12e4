#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/autostart.h"

namespace platform {

const char kAutostartCheckHeading[] = "\n[INFO] Checking Autostart Entries & Startup...";
const char kAutostartLogStart[] = "Starting Autostart Scan";
const char kAutostartLogTag[] = "[MALICIOUS-AUTOSTART] ";
const char kAutostartSummary[] = "[INFO] Autostart Scan Complete. ";

namespace {

// The folders systemd looks a bare ExecStart= name up in; it never uses PATH for that.
constexpr char kSystemdProgramPath[] =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// The PATH cron gives a job whose crontab sets none.
constexpr char kCronDefaultPath[] = "/usr/bin:/bin";
// Where the loader finds a preloaded library named without a folder.
constexpr char kLibraryPath[] = "/lib:/usr/lib:/lib64:/usr/lib64:/usr/local/lib";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// An XDG base folder: the variable's value when it is an absolute path, else HOME + `fallback`.
std::string xdg_home(const char* variable, const char* fallback) {
    const std::string value = environment(variable);
    if (!value.empty() && value.front() == '/') return value;
    return environment("HOME") + fallback;
}

}  // namespace

std::vector<AutostartLocation> default_autostart_locations() {
    const std::string config = xdg_home("XDG_CONFIG_HOME", "/.config");
    const std::string data = xdg_home("XDG_DATA_HOME", "/.local/share");
    std::vector<AutostartLocation> locations;
    locations.push_back({AutostartKind::kDesktopFiles, config + "/autostart", "XDG user"});
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

    const std::vector<std::string> user_units = {
        config + "/systemd/user", "/etc/systemd/user",           "/run/systemd/user",
        data + "/systemd/user",   "/usr/local/lib/systemd/user", "/usr/lib/systemd/user",
        "/lib/systemd/user",
    };
    const std::vector<std::string> system_units = {
        "/etc/systemd/system", "/run/systemd/system",     "/usr/local/lib/systemd/system",
        "/lib/systemd/system", "/usr/lib/systemd/system",
    };
    auto systemd = [&](std::string place, const char* label,
                       const std::vector<std::string>& folders, bool direct, std::string home) {
        locations.push_back({.kind = AutostartKind::kSystemdUnits,
                             .place = std::move(place),
                             .label = label,
                             .search_path = kSystemdProgramPath,
                             .unit_folders = folders,
                             .direct_units = direct,
                             .home = std::move(home)});
    };
    // Units placed directly in /etc/systemd/user start nothing until a link there enables them.
    systemd(config + "/systemd/user", "systemd user", user_units, true, environment("HOME"));
    systemd("/etc/systemd/user", "systemd user", user_units, false, environment("HOME"));
    systemd("/etc/systemd/system", "systemd system", system_units, true, "/root");

    locations.push_back({AutostartKind::kSystemCrontab, "/etc/crontab", "cron", kCronDefaultPath});
    locations.push_back({AutostartKind::kSystemCrontabs, "/etc/cron.d", "cron", kCronDefaultPath});
    locations.push_back(
        {AutostartKind::kUserCrontabs, "/var/spool/cron/crontabs", "cron", kCronDefaultPath});
    for (const char* period : {"hourly", "daily", "weekly", "monthly"}) {
        locations.push_back(
            {AutostartKind::kCronScripts, std::string("/etc/cron.") + period, "cron"});
    }

    locations.push_back({AutostartKind::kRcLocal, "/etc/rc.local", "rc"});
    locations.push_back({AutostartKind::kSysvStartLinks, "/etc", "rc"});
    // Some systems keep the rc?.d folders in rc.d and link them from /etc; the links are not
    // followed, so each folder is read once.
    locations.push_back({AutostartKind::kSysvStartLinks, "/etc/rc.d", "rc"});

    locations.push_back({AutostartKind::kPreload, "/etc/ld.so.preload", "preload", kLibraryPath});
    return locations;
}

std::vector<AutostartEntry> read_registry_entries(const AutostartLocation&) { return {}; }

SmallFile read_small_file(const std::filesystem::path& path, std::size_t max_bytes) {
    SmallFile file;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        file.status = error == ENOENT || error == ENOTDIR ? SmallFileStatus::kMissing
                                                          : SmallFileStatus::kFailed;
        file.error = std::generic_category().message(error);
        return file;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        file.error = std::generic_category().message(errno);
    } else if (!S_ISREG(info.st_mode)) {
        file.status = SmallFileStatus::kNotRegular;
    } else if (static_cast<std::size_t>(info.st_size) > max_bytes) {
        file.status = SmallFileStatus::kTooLarge;
    } else {
        file.content.assign(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t done = 0;
        bool failed = false;
        while (done < file.content.size()) {
            const ssize_t n = read(fd, file.content.data() + done, file.content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                file.error = std::generic_category().message(errno);
                failed = true;
                break;
            }
            if (n == 0) break;  // cut short while it was read: what was there counts
            done += static_cast<std::size_t>(n);
        }
        file.content.resize(done);
        if (!failed) file.status = SmallFileStatus::kRead;
    }
    close(fd);
    if (file.status != SmallFileStatus::kRead) file.content.clear();
    return file;
}

std::string executable_search_path() { return environment("PATH"); }

bool path_from_narrow(const std::string& text, std::filesystem::path& out) {
    out = std::filesystem::path(text);
    return true;
}

}  // namespace platform
