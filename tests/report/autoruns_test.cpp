// The start-up check of autostart entries: how a program path is taken out of an entry, and the
// whole check on fixture locations (folders on Linux, a test registry key on Windows).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_checker.h"
#include "hashdb/rule_set.h"
#include "report/autoruns.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::AutostartKind;
using test_support::CoutCapture;
using test_support::TempDir;

TEST(ExtractAutorunPath, QuotesAndExeDecideWhereThePathEnds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"C:\\Program Files\\Tool\\tool.exe\" --tray", "C:\\Program Files\\Tool\\tool.exe"},
        {"\"C:\\Tools\\run.bat\" /x", "C:\\Tools\\run.bat"},
        {"\"C:\\Open\\no closing quote.exe", "\"C:\\Open\\no closing quote.exe"},
        {"\"", "\""},
        {"\"\"", ""},
        {"C:\\Program Files\\App\\app.exe /min", "C:\\Program Files\\App\\app.exe"},
        {"rundll32.exe shell32.dll,Control_RunDLL", "rundll32.exe"},
        {"C:\\a.exe.exe -x", "C:\\a.exe"},
        {"C:\\APP\\APP.EXE /min", "C:\\APP\\APP.EXE /min"},
        {"%ProgramFiles%\\x\\y.exe", "%ProgramFiles%\\x\\y.exe"},
        {".exe", ".exe"},
        {"abc", "abc"},
        {"", ""},
    };
    for (const auto& [text, path] : cases) EXPECT_EQ(extract_autorun_path(text), path) << text;
}

TEST(ExtractExecProgram, FirstArgumentByTheDesktopEntryRules) {
    struct Case {
        AutostartKind kind;
        std::string command;
        std::string program;
    };
    const auto desktop = AutostartKind::kDesktopFiles;
    const auto systemd = AutostartKind::kSystemdUnits;
    const std::vector<Case> cases = {
        {desktop, "/usr/bin/tool --tray %U", "/usr/bin/tool"},
        {desktop, "  /usr/bin/tool", "/usr/bin/tool"},
        {desktop, "\"/opt/My App/app\" --min", "/opt/My App/app"},
        // In the file a literal backslash inside quotes is written as four of them.
        {desktop, "\"/opt/a\\\\\\\\b/c\\\\\"d\" x", "/opt/a\\b/c\"d"},
        {desktop, "\"/opt/\\\\$HOME/x\"", "/opt/$HOME/x"},
        {desktop, "\"/opt/My\\sApp/app\" -x", "/opt/My App/app"},
        {desktop, "/opt/My\\sApp/app -x", "/opt/My"},  // an unquoted blank still separates
        {desktop, "\"/opt/never closed", ""},
        {desktop, "tool -x", "tool"},
        {desktop, "", ""},
        {systemd, "-/usr/bin/daemon --flag", "/usr/bin/daemon"},
        {systemd, "@/usr/bin/daemon argv0 x", "/usr/bin/daemon"},
        {systemd, "!!-+:/usr/bin/daemon", "/usr/bin/daemon"},
        {systemd, "\"/opt/with space/d\" -x", "/opt/with space/d"},
        {systemd, "/opt/a\\sb", "/opt/a\\sb"},  // the \s escape belongs to desktop files only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extract_exec_program(c.command, c.kind), c.program) << c.command;
    }
}

bool registry_build();

TEST(FindInSearchPath, FirstFolderHoldingARegularFileWins) {
    // Bare names are looked up only for Linux entries; Windows paths would hold the ':' separator.
    if (registry_build()) GTEST_SKIP() << "a Linux search path";
    TempDir dir;
    dir.write("one/other", "x");
    dir.write("two/tool", "x");
    dir.write("three/tool", "x");
    fs::create_directories(dir / "one" / "tool");  // a folder of that name does not count
    const std::string one = (dir / "one").string();
    const std::string two = (dir / "two").string();
    const std::string three = (dir / "three").string();
    EXPECT_EQ(find_in_search_path("tool", one + ":" + two + ":" + three), two + "/tool");
    EXPECT_EQ(find_in_search_path("tool", "::" + three + "/"), three + "/tool");
    EXPECT_EQ(find_in_search_path("tool", one), "");
    EXPECT_EQ(find_in_search_path("tool", ""), "");
}

bool registry_build() {
    return platform::default_autostart_locations().front().kind == AutostartKind::kRegistryKey;
}

// A database that lists the content "malicious payload".
class AutorunCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logger.emplace((dir / "scan_log.txt").string());
        const auto sample = dir.write("sample", kBadContent);
        std::string hash;
        ASSERT_TRUE(compute_file_hash(sample, hash));
        // The digest of empty input is listed too: an empty program is still never a hit.
        dir.write("db/hashes.txt", hash + "\n" + kEmptyInputSha256 + "\n");
        checker.emplace(db_logger);
        ASSERT_TRUE(
            checker->load((dir / "db/hashes.txt").string(), (dir / "db/hashes.bin").string()));
    }

    std::string run(const AutorunCheckOptions& options) {
        CoutCapture capture;
        check_registry_autoruns(*checker, *logger, options);
        return capture.text();
    }

    // The log's messages without their time stamps.
    std::vector<std::string> log_messages() const {
        std::vector<std::string> messages;
        std::istringstream in(test_support::read_file(dir / "scan_log.txt"));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 20) messages.push_back(line.substr(20));
        }
        return messages;
    }

    static constexpr const char* kBadContent = "malicious payload";
    TempDir dir;
    std::optional<Logger> logger;
    Logger db_logger{(dir / "db/scan_log.txt").string()};
    std::optional<HashChecker> checker;
};

TEST_F(AutorunCheckTest, FixtureFoldersOfDesktopFilesAndUnits) {
    if (registry_build()) GTEST_SKIP() << "the registry build is covered by the next test";
    const std::string bin = (dir / "bin").string();
    dir.write("bin/bad", kBadContent);
    dir.write("bin/with space/bad tool", kBadContent);
    dir.write("bin/good", "harmless");
    dir.write("bin/empty", "");
    dir.write("path2/badcmd", kBadContent);
    fs::create_directories(dir / "bin" / "afolder");
    ASSERT_EQ(std::system(("mkfifo '" + bin + "/fifo'").c_str()), 0);

    const std::string autostart = (dir / "autostart").string();
    auto desktop = [&](const std::string& name, const std::string& exec_line) {
        dir.write("autostart/" + name, "[Desktop Entry]\nType=Application\n" + exec_line + "\n");
    };
    desktop("a-quoted.desktop", "Exec=\"" + bin + "/with space/bad tool\" --tray %U");
    desktop("b-plain.desktop", "Exec = " + bin + "/bad -x");
    desktop("c-bare.desktop", "Exec=badcmd --quiet");
    desktop("caf\xe9.desktop", "Exec=" + bin + "/bad");
    desktop("d-missing.desktop", "Exec=" + bin + "/missing");
    desktop("e-folder.desktop", "Exec=" + bin + "/afolder");
    desktop("f-good.desktop", "Exec=" + bin + "/good");
    desktop("g-empty.desktop", "Exec=" + bin + "/empty");
    desktop("h-open-quote.desktop", "Exec=\"" + bin + "/bad");
    desktop("i-fifo.desktop", "Exec=" + bin + "/fifo");
    desktop("j-no-exec.desktop", "Name=nothing to run");
    desktop("notes.txt", "Exec=" + bin + "/bad");
    dir.write("autostart/k-action.desktop",
              "[Desktop Action x]\nExec=" + bin + "/bad\n[Desktop Entry]\nExec=" + bin + "/good\n");
    ASSERT_EQ(std::system(("mkfifo '" + autostart + "/l-is-a-fifo.desktop'").c_str()), 0);
    dir.write("units/svc.service", "[Unit]\nExecStart=" + bin + "/good\n[Service]\r\nExecStart=-@" +
                                       bin + "/bad argv0\r\n");
    dir.write("units/other.timer", "[Service]\nExecStart=" + bin + "/bad\n");

    AutorunCheckOptions options;
    options.locations = {
        {AutostartKind::kDesktopFiles, autostart, "XDG user"},
        {AutostartKind::kDesktopFiles, (dir / "no such folder").string(), "XDG system"},
        {AutostartKind::kSystemdUnits, (dir / "units").string(), "systemd user"},
        {AutostartKind::kSystemdUnits, (dir / "bin" / "bad").string(), "systemd system"},
    };
    options.search_path = (dir / "nothing").string() + ":" + (dir / "path2").string();

    const std::string output = run(options);

    const std::string expected =
        "\n[INFO] Checking Autostart Entries & Startup...\n"
        "[ALERT] Malicious Startup Found: XDG user -> a-quoted.desktop\n"
        "        Path: " +
        bin +
        "/with space/bad tool\n"
        "[ALERT] Malicious Startup Found: XDG user -> b-plain.desktop\n"
        "        Path: " +
        bin +
        "/bad\n"
        "[ALERT] Malicious Startup Found: XDG user -> c-bare.desktop\n"
        "        Path: " +
        (dir / "path2").string() +
        "/badcmd\n"
        "[ALERT] Malicious Startup Found: XDG user -> caf\xe9.desktop\n"
        "        Path: " +
        bin +
        "/bad\n"
        "[ALERT] Malicious Startup Found: systemd user -> svc.service\n"
        "        Path: " +
        bin +
        "/bad\n"
        // A timer is no service: its ExecStart is not read, and the service it starts is missing.
        "[ERROR] systemd user -> other.timer: the unit it starts is not found: other.service\n"
        "[INFO] Autostart Scan Complete. 8 entries checked. 5 malicious detected.\n";
    EXPECT_EQ(output, expected);

    const std::vector<std::string> expected_log = {
        "Starting Autostart Scan",
        "[MALICIOUS-AUTOSTART] XDG user a-quoted.desktop -> " + bin + "/with space/bad tool",
        "[MALICIOUS-AUTOSTART] XDG user b-plain.desktop -> " + bin + "/bad",
        "[MALICIOUS-AUTOSTART] XDG user c-bare.desktop -> " + (dir / "path2").string() + "/badcmd",
        "[MALICIOUS-AUTOSTART] XDG user caf\xe9.desktop -> " + bin + "/bad",
        "[MALICIOUS-AUTOSTART] systemd user svc.service -> " + bin + "/bad",
        "[ERROR] systemd user -> other.timer: the unit it starts is not found: other.service",
        "Autostart entries checked per kind: xdg 7, systemd 1",
    };
    EXPECT_EQ(log_messages(), expected_log);
}

// The fixture root as "$F", so the expectations read as the tree they describe.
std::string in_fixture(std::string text, const std::string& root) {
    for (auto at = text.find(root); at != std::string::npos; at = text.find(root, at + 2)) {
        text.replace(at, root.size(), "$F");
    }
    return text;
}

std::vector<std::string> flat_entries(const AutostartCheckResult& result, const std::string& root) {
    std::vector<std::string> lines;
    for (const auto& e : result.entries) {
        lines.push_back(in_fixture(e.kind + "|" + e.location_label + "|" + e.name + "|" +
                                       e.setting + "|" + e.program + "|" + verdict_name(e.verdict) +
                                       "|" + e.user + "|" + e.source +
                                       (e.note.empty() ? "" : "|" + e.note),
                                   root));
    }
    return lines;
}

std::vector<std::string> flat_issues(const AutostartCheckResult& result, const std::string& root) {
    std::vector<std::string> lines;
    for (const auto& i : result.issues) {
        const bool warning = i.severity == AutostartIssue::Severity::kWarning;
        lines.push_back(in_fixture((warning ? "warn|" : "error|") + i.kind + "|" +
                                       i.location_label + "|" + i.name + "|" + i.reason,
                                   root));
    }
    return lines;
}

void make_link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

void make_executable(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
}

TEST_F(AutorunCheckTest, SystemdUnitsEnabledByLinksTemplatesDropInsAndTimers) {
    if (registry_build()) GTEST_SKIP() << "systemd units are a Linux location";
    const std::string f = dir.path().string();
    for (const char* name : {"vendor-bad", "stop-bad", "tty7-prog", "new-bad", "old-bad",
                             "shadowed-bad", "reset-bad", "post-bad", "nightly-bad", "masked-bad",
                             "direct-bad", "req-bad", "echo-bad", "user-bad", "reload-bad"}) {
        dir.write(std::string("bin/") + name, kBadContent);
    }
    dir.write("bin/pre", "harmless");
    dir.write("sbin/barecmd", kBadContent);
    const fs::path etc = dir / "etc/systemd/system";
    const fs::path vendor = dir / "vendor";
    const std::string bin = f + "/bin/";

    // Enabled by a link into the vendor folder; also reached through an alias, listed once. A
    // reload is asked for by an administrator, never at start-up.
    dir.write("vendor/vendor.service", "[Unit]\nDescription=v\n[Service]\nExecStartPre=-" + bin +
                                           "pre\nExecStart=@" + bin +
                                           "vendor-bad argv0 --x\nExecStop=" + bin +
                                           "stop-bad\nExecReload=" + bin + "reload-bad\n");
    make_link(vendor / "vendor.service", etc / "multi-user.target.wants/vendor.service");
    make_link(vendor / "vendor.service", etc / "alias.service");
    // An instance: its link's name leads to the template, and %i to the instance.
    dir.write("vendor/getty@.service", "[Service]\nExecStart=-" + bin + "%i-prog --noclear\n");
    make_link("../../../../vendor/getty@.service", etc / "getty.target.wants/getty@tty7.service");
    // A drop-in that replaces ExecStart; a drop-in of the same name further down is overridden.
    dir.write("vendor/replaced.service", "[Service]\nExecStart=" + bin + "old-bad\n");
    dir.write("etc/systemd/system/replaced.service.d/override.conf",
              "[Service]\nExecStart=\nExecStart=" + bin + "new-bad\n");
    dir.write("vendor/replaced.service.d/override.conf",
              "[Service]\nExecStart=" + bin + "shadowed-bad\n");
    make_link(vendor / "replaced.service", etc / "multi-user.target.wants/replaced.service");
    // A drop-in that only resets ExecStart.
    dir.write("vendor/reset.service",
              "[Service]\nExecStart=" + bin + "reset-bad\nExecStartPost=" + bin + "post-bad\n");
    dir.write("vendor/reset.service.d/10-reset.conf", "[Service]\nExecStart=\n");
    make_link(vendor / "reset.service", etc / "multi-user.target.wants/reset.service");
    // Timers lead to the service of their name or of Unit=; the bare name goes through the
    // location's own search path.
    dir.write("vendor/nightly.timer", "[Timer]\nOnCalendar=daily\n");
    dir.write("vendor/nightly.service",
              "[Service]\nType=oneshot\nExecStart=" + bin + "nightly-bad\n");
    make_link(vendor / "nightly.timer", etc / "timers.target.wants/nightly.timer");
    dir.write("vendor/weekly.timer", "[Timer]\nUnit=job.service\n");
    dir.write("vendor/job.service", "[Service]\nExecStart=barecmd -q\n");
    make_link(vendor / "weekly.timer", etc / "timers.target.wants/weekly.timer");
    dir.write("vendor/lonely.timer", "[Timer]\nOnBootSec=1\n");
    make_link(vendor / "lonely.timer", etc / "timers.target.wants/lonely.timer");
    // A socket accepting connections starts instances of its template service.
    dir.write("vendor/echo.socket", "[Socket]\nListenStream=7\nAccept=yes\n");
    dir.write("vendor/echo@.service", "[Service]\nExecStart=" + bin + "echo-bad\n");
    make_link(vendor / "echo.socket", etc / "sockets.target.wants/echo.socket");
    // Masked in the first folder: never started.
    dir.write("vendor/masked.service", "[Service]\nExecStart=" + bin + "masked-bad\n");
    make_link("/dev/null", etc / "masked.service");
    make_link(vendor / "masked.service", etc / "multi-user.target.wants/masked.service");
    dir.write("vendor/req.service", "[Service]\nExecStart=" + bin + "req-bad\n");
    make_link(vendor / "req.service", etc / "multi-user.target.requires/req.service");
    // A link that loops and one that leads nowhere: one error each, no hang.
    make_link("loop.service", etc / "multi-user.target.wants/loop.service");
    make_link("/nonexistent/ghost.service", etc / "multi-user.target.wants/ghost.service");
    make_link(vendor / "remote-fs.target", etc / "multi-user.target.wants/remote-fs.target");
    dir.write("etc/systemd/system/direct.service", "[Service]\nExecStart=" + bin + "direct-bad\n");
    dir.write("etc/systemd/system/notes.txt", "[Service]\nExecStart=" + bin + "direct-bad\n");
    dir.write("user/agent.service", "[Service]\nExecStart=%h/bin/user-bad\n");

    AutorunCheckOptions options;
    options.locations = {
        {.kind = AutostartKind::kSystemdUnits,
         .place = f + "/user",
         .label = "systemd user",
         .search_path = f + "/sbin",
         .home = f},
        {.kind = AutostartKind::kSystemdUnits,
         .place = etc.string(),
         .label = "systemd system",
         .search_path = f + "/sbin",
         .unit_folders = {etc.string(), f + "/run-missing", vendor.string()},
         .home = "/root"},
    };
    const AutostartCheckResult result = run_autostart_check(*checker, options);

    const std::string system = "systemd|systemd system|";
    const std::vector<std::string> expected = {
        "systemd|systemd user|agent.service|ExecStart|$F/bin/user-bad|malicious||"
        "$F/user/agent.service",
        system +
            "getty.target.wants/getty@tty7.service|ExecStart|$F/bin/tty7-prog|malicious||"
            "$F/vendor/getty@.service",
        system +
            "multi-user.target.requires/req.service|ExecStart|$F/bin/req-bad|malicious||"
            "$F/vendor/req.service",
        system +
            "multi-user.target.wants/replaced.service|ExecStart|$F/bin/new-bad|malicious||"
            "$F/etc/systemd/system/replaced.service.d/override.conf",
        system +
            "multi-user.target.wants/reset.service|ExecStartPost|$F/bin/post-bad|malicious||"
            "$F/vendor/reset.service",
        system +
            "multi-user.target.wants/vendor.service|ExecStartPre|$F/bin/pre|clean||"
            "$F/vendor/vendor.service",
        system +
            "multi-user.target.wants/vendor.service|ExecStart|$F/bin/vendor-bad|malicious||"
            "$F/vendor/vendor.service",
        system +
            "multi-user.target.wants/vendor.service|ExecStop|$F/bin/stop-bad|malicious||"
            "$F/vendor/vendor.service",
        system +
            "sockets.target.wants/echo.socket (echo@.service)|ExecStart|$F/bin/echo-bad|"
            "malicious||$F/vendor/echo@.service",
        system +
            "timers.target.wants/nightly.timer (nightly.service)|ExecStart|$F/bin/nightly-bad|"
            "malicious||$F/vendor/nightly.service",
        system +
            "timers.target.wants/weekly.timer (job.service)|ExecStart|$F/sbin/barecmd|"
            "malicious||$F/vendor/job.service",
        system +
            "direct.service|ExecStart|$F/bin/direct-bad|malicious||"
            "$F/etc/systemd/system/direct.service",
    };
    EXPECT_EQ(flat_entries(result, f), expected);
    const std::vector<std::string> expected_issues = {
        "error|systemd|systemd system|multi-user.target.wants/ghost.service|unit file not found: "
        "No such file or directory",
        "error|systemd|systemd system|multi-user.target.wants/loop.service|unit file cannot be "
        "read: Too many levels of symbolic links",
        "error|systemd|systemd system|timers.target.wants/lonely.timer|the unit it starts is not "
        "found: lonely.service",
    };
    EXPECT_EQ(flat_issues(result, f), expected_issues);
    EXPECT_EQ(result.checked, 12);
    EXPECT_EQ(result.malicious, 11);
    ASSERT_EQ(result.checked_per_kind.size(), 1u);
    EXPECT_EQ(result.checked_per_kind[0].kind, "systemd");
    EXPECT_EQ(result.checked_per_kind[0].checked, 12);
}

TEST_F(AutorunCheckTest, CronTablesScriptsStartUpScriptsAndPreloadedLibraries) {
    if (registry_build()) GTEST_SKIP() << "cron, rc and ld.so.preload are Linux locations";
    const std::string f = dir.path().string();
    for (const char* name : {"cronpath/crontab-bad", "defaultpath/early-bad", "crondpath/crond-bad",
                             "bin/reboot-bad", "bin/linked-bad", "lib/present-bad.so"}) {
        dir.write(name, kBadContent);
    }
    dir.write("lib/libbare.so", "harmless");
    make_executable(dir / "bin/linked-bad");

    dir.write("etc/crontab", "SHELL=/bin/sh\nPATH=" + f +
                                 "/cronpath\n# m h dom mon dow user command\n"
                                 "17 * * * * root cd / && crontab-bad --report\n");
    // The first job comes before the file's PATH= line, so the default path finds its program.
    dir.write("etc/cron.d/job", "*/5 * * * * daemon early-bad\nPATH=" + f +
                                    "/crondpath\n0 1 * * * daemon test -x /nowhere || crond-bad "
                                    "> /dev/null 2>&1\n");
    dir.write("etc/cron.d/.placeholder", "0 * * * * root " + f + "/bin/reboot-bad\n");
    dir.write("var/spool/cron/crontabs/alice", "@reboot " + f + "/bin/reboot-bad --daemon\n");
    for (const char* name : {"script-bad", "notexec", ".hidden", "empty"}) {
        dir.write(std::string("etc/cron.daily/") + name,
                  name == std::string("empty") ? "" : kBadContent);
        if (name != std::string("notexec")) make_executable(dir / "etc/cron.daily" / name);
    }
    make_link(dir / "bin/linked-bad", dir / "etc/cron.daily/linked");

    dir.write("etc/rc.local", kBadContent);
    make_executable(dir / "etc/rc.local");
    dir.write("other/rc.local", kBadContent);  // not executable: never started
    dir.write("etc/init.d/svc-bad", kBadContent);
    dir.write("etc/init.d/abs-bad", kBadContent);
    dir.write("etc/init.d/noexec", kBadContent);
    make_executable(dir / "etc/init.d/svc-bad");
    make_executable(dir / "etc/init.d/abs-bad");
    make_link("../init.d/svc-bad", dir / "etc/rc2.d/S01svc");
    make_link("../init.d/svc-bad", dir / "etc/rc3.d/S01svc");  // the same script: listed once
    make_link("../init.d/svc-bad", dir / "etc/rc0.d/K01svc");  // stops it: not a start
    make_link("../init.d/noexec", dir / "etc/rc2.d/S03noexec");
    make_link("../init.d/gone", dir / "etc/rc5.d/S02gone");
    make_link(dir / "etc/init.d/abs-bad", dir / "etc/rcS.d/S01abs");
    make_link("../init.d/svc-bad", dir / "etc/rc7.d/S01svc");  // no such run level

    dir.write("etc/ld.so.preload",
              f + "/lib/present-bad.so\n" + f + "/lib/missing.so libbare.so\n");

    const std::string defaults = f + "/defaultpath";
    AutorunCheckOptions options;
    options.locations = {
        {AutostartKind::kSystemCrontab, f + "/etc/crontab", "cron", defaults},
        {AutostartKind::kSystemCrontabs, f + "/etc/cron.d", "cron", defaults},
        {AutostartKind::kUserCrontabs, f + "/var/spool/cron/crontabs", "cron", defaults},
        {AutostartKind::kCronScripts, f + "/etc/cron.daily", "cron"},
        {AutostartKind::kCronScripts, f + "/etc/cron.weekly", "cron"},
        {AutostartKind::kRcLocal, f + "/etc/rc.local", "rc"},
        {AutostartKind::kRcLocal, f + "/other/rc.local", "rc"},
        {AutostartKind::kSysvStartLinks, f + "/etc", "rc"},
        {AutostartKind::kPreload, f + "/etc/ld.so.preload", "preload", f + "/lib"},
    };
    options.search_path = f + "/nothing";
    const AutostartCheckResult result = run_autostart_check(*checker, options);

    const std::vector<std::string> expected = {
        "cron|cron|crontab|line 4|cd|missing|root|$F/etc/crontab",
        "cron|cron|crontab|line 4|$F/cronpath/crontab-bad|malicious|root|$F/etc/crontab",
        "cron|cron|cron.d/job|line 1|$F/defaultpath/early-bad|malicious|daemon|$F/etc/cron.d/job",
        "cron|cron|cron.d/job|line 3|test|missing|daemon|$F/etc/cron.d/job",
        "cron|cron|cron.d/job|line 3|$F/crondpath/crond-bad|malicious|daemon|$F/etc/cron.d/job",
        "cron|cron|crontabs/alice|line 1|$F/bin/reboot-bad|malicious|alice|"
        "$F/var/spool/cron/crontabs/alice",
        "cron|cron|cron.daily/empty||$F/etc/cron.daily/empty|clean||$F/etc/cron.daily/empty",
        "cron|cron|cron.daily/linked||$F/etc/cron.daily/linked|malicious||$F/etc/cron.daily/linked",
        "cron|cron|cron.daily/script-bad||$F/etc/cron.daily/script-bad|malicious||"
        "$F/etc/cron.daily/script-bad",
        "rc|rc|rc.local||$F/etc/rc.local|malicious||$F/etc/rc.local",
        "rc|rc|rc2.d/S01svc||$F/etc/init.d/svc-bad|malicious||$F/etc/rc2.d/S01svc",
        "rc|rc|rcS.d/S01abs||$F/etc/init.d/abs-bad|malicious||$F/etc/rcS.d/S01abs",
        "preload|preload|ld.so.preload||$F/lib/present-bad.so|malicious||$F/etc/ld.so.preload",
        "preload|preload|ld.so.preload||$F/lib/missing.so|missing||$F/etc/ld.so.preload|listed "
        "library not found",
        "preload|preload|ld.so.preload||$F/lib/libbare.so|clean||$F/etc/ld.so.preload",
    };
    EXPECT_EQ(flat_entries(result, f), expected);
    const std::vector<std::string> expected_issues = {
        "error|rc|rc|rc5.d/S02gone|start link cannot be followed: No such file or directory",
        "warn|preload|preload|ld.so.preload|listed library not found: $F/lib/missing.so",
    };
    EXPECT_EQ(flat_issues(result, f), expected_issues);
    EXPECT_EQ(result.checked, 12);
    EXPECT_EQ(result.malicious, 10);
    std::vector<std::string> per_kind;
    for (const auto& c : result.checked_per_kind)
        per_kind.push_back(c.kind + " " + std::to_string(c.checked));
    EXPECT_EQ(per_kind, (std::vector<std::string>{"cron 7", "rc 3", "preload 2"}));
}

// The front end on one entry of each kind: hits, warnings and errors on the console and in the
// log, a hidden desktop entry marked, and the per-kind counts in the log.
TEST_F(AutorunCheckTest, FrontEndShowsHitsIssuesAndCountsPerKind) {
    if (registry_build()) GTEST_SKIP() << "the Linux locations";
    const std::string f = dir.path().string();
    dir.write("bin/bad", kBadContent);
    make_executable(dir / "bin/bad");
    dir.write("autostart/tray.desktop", "[Desktop Entry]\nExec=" + f + "/bin/bad\nHidden=true\n");
    dir.write("units/agent.service", "[Service]\nExecStart=" + f + "/bin/bad\n");
    make_link("/nowhere/ghost.service", dir / "units/default.target.wants/ghost.service");
    dir.write("cron.d/job", "@reboot root " + f + "/bin/bad\n");
    make_link(f + "/bin/bad", dir / "etc/rc2.d/S01bad");
    dir.write("ld.so.preload", f + "/lib/gone.so\n");

    AutorunCheckOptions options;
    options.locations = {
        {AutostartKind::kDesktopFiles, f + "/autostart", "XDG user"},
        {AutostartKind::kSystemdUnits, f + "/units", "systemd user"},
        {AutostartKind::kSystemCrontabs, f + "/cron.d", "cron"},
        {AutostartKind::kSysvStartLinks, f + "/etc", "rc"},
        {AutostartKind::kPreload, f + "/ld.so.preload", "preload"},
    };
    const std::string output = in_fixture(run(options), f);
    const std::string expected =
        "\n[INFO] Checking Autostart Entries & Startup...\n"
        "[ALERT] Malicious Startup Found: XDG user -> tray.desktop (Hidden=true)\n"
        "        Path: $F/bin/bad\n"
        "[ALERT] Malicious Startup Found: systemd user -> agent.service\n"
        "        Path: $F/bin/bad\n"
        "[ALERT] Malicious Startup Found: cron -> cron.d/job\n"
        "        Path: $F/bin/bad\n"
        "[ALERT] Malicious Startup Found: rc -> rc2.d/S01bad\n"
        "        Path: $F/bin/bad\n"
        "[ERROR] systemd user -> default.target.wants/ghost.service: unit file not found: No such "
        "file or directory\n"
        "[WARN] preload -> ld.so.preload: listed library not found: $F/lib/gone.so\n"
        "[INFO] Autostart Scan Complete. 4 entries checked. 4 malicious detected.\n";
    EXPECT_EQ(output, expected);
    std::vector<std::string> log;
    for (const auto& line : log_messages()) log.push_back(in_fixture(line, f));
    const std::vector<std::string> expected_log = {
        "Starting Autostart Scan",
        "[MALICIOUS-AUTOSTART] XDG user tray.desktop (Hidden=true) -> $F/bin/bad",
        "[MALICIOUS-AUTOSTART] systemd user agent.service -> $F/bin/bad",
        "[MALICIOUS-AUTOSTART] cron cron.d/job -> $F/bin/bad",
        "[MALICIOUS-AUTOSTART] rc rc2.d/S01bad -> $F/bin/bad",
        "[ERROR] systemd user -> default.target.wants/ghost.service: unit file not found: No such "
        "file or directory",
        "[WARN] preload -> ld.so.preload: listed library not found: $F/lib/gone.so",
        "Autostart entries checked per kind: xdg 1, systemd 1, cron 1, rc 1, preload 0",
    };
    EXPECT_EQ(log, expected_log);
}

// Each program is matched against the rules as well: a match makes the entry known-bad and names
// its rules, also for a program that is listed; an empty program is never matched.
TEST_F(AutorunCheckTest, ProgramsAreMatchedAgainstTheRules) {
    if (registry_build()) GTEST_SKIP() << "the Linux locations";
    dir.write("rules/marker.yar",
              "rule Marker { strings: $m = \"payload\" condition: $m }\n"
              "rule Anything { condition: filesize > 0 }\n");
    RuleLoadReport report;
    const RuleSet rules = RuleSet::load({dir / "rules"}, KeptRuleFiles{}, report);
    if (!rules.active()) GTEST_SKIP() << "this build has no rule matching";
    const std::string f = dir.path().string();
    struct Case {
        const char* program;
        std::string content;
        bool listed;
        std::vector<std::string> rules;
    };
    const std::vector<Case> cases = {
        {"listed", kBadContent, true, {"Marker", "Anything"}},
        {"ruled", "some other payload", false, {"Marker", "Anything"}},
        {"plain", "harmless", false, {"Anything"}},
        {"empty", "", false, {}},
    };
    std::string crontab;
    for (const auto& c : cases) {
        dir.write(std::string("bin/") + c.program, c.content);
        crontab += "@reboot root " + f + "/bin/" + c.program + "\n";
    }
    dir.write("cron.d/jobs", crontab);
    AutorunCheckOptions options;
    options.locations = {{AutostartKind::kSystemCrontabs, f + "/cron.d", "cron"}};
    options.rules = &rules;
    const AutostartCheckResult result = run_autostart_check(*checker, options);
    ASSERT_EQ(result.entries.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& entry = result.entries[i];
        const auto& c = cases[i];
        SCOPED_TRACE(c.program);
        EXPECT_EQ(entry.listed, c.listed);
        EXPECT_EQ(entry.rules, c.rules);
        EXPECT_EQ(entry.verdict, c.rules.empty() && !c.listed ? AutostartVerdict::kClean
                                                              : AutostartVerdict::kMalicious);
    }
    EXPECT_EQ(result.malicious, 3);
    EXPECT_TRUE(result.issues.empty());
    EXPECT_EQ(autostart_reasons_text(result.entries[0]), " (hash; rule Marker, Anything)");
    EXPECT_EQ(autostart_reasons_text(result.entries[1]), " (rule Marker, Anything)");
    EXPECT_EQ(autostart_reasons_text(result.entries[3]), "");

    // Without rules only the listed program is known-bad, as before.
    options.rules = nullptr;
    EXPECT_EQ(run_autostart_check(*checker, options).malicious, 1);
}

TEST_F(AutorunCheckTest, NoLocationsStillGivesTheSummary) {
    AutorunCheckOptions options;
    options.locations.clear();
    const std::string output = run(options);
    EXPECT_NE(output.find(" Scan Complete. 0 entries checked. 0 malicious detected.\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(log_messages().size(), 1u);
}

// Under Wine: values in a private key below HKCU\Software, made with the system's reg tool and
// removed afterwards.
class RegistryKey {
  public:
    RegistryKey() {
        std::random_device random;
        key = "HKCU\\Software\\QuorvexTest" + std::to_string(random()) + "\\Run";
    }
    ~RegistryKey() {
        const std::string parent = key.substr(0, key.rfind('\\'));
        std::system(("reg delete \"" + parent + "\" /f >nul 2>&1").c_str());
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // `data` must not hold a double quote of its own except as \" (reg's command-line escape).
    // No output redirection: after an odd number of quotes the command interpreter would hand it
    // to reg as an argument.
    void add(const std::string& name, const std::string& data) const {
        const std::string command =
            "reg add \"" + key + "\" /v \"" + name + "\" /t REG_SZ /d \"" + data + "\" /f";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string key;
};

TEST_F(AutorunCheckTest, TestRegistryKeyWithQuotedAndUnquotedPaths) {
    if (!registry_build()) GTEST_SKIP() << "the folder build is covered by the previous test";
    const std::string folder = (dir / "apps").string();
    dir.write("apps/with space/bad.exe", kBadContent);
    dir.write("apps/bad.exe", kBadContent);
    dir.write("apps/good.exe", "harmless");
    dir.write("apps/tool.bat", kBadContent);
    fs::create_directories(dir / "apps" / "folder.exe");
    // Names in alphabetical order, which is also creation order: Wine lists values sorted. The
    // over-long value comes before a listed one, which must still be found.
    RegistryKey run_key;
    run_key.add("A-Quoted", "\\\"" + folder + "\\with space\\bad.exe\\\" --tray");
    run_key.add("C-Unquoted", folder + "\\bad.exe -silent");
    run_key.add("D-QuotedBat", "\\\"" + folder + "\\tool.bat\\\" /x");
    run_key.add("B-Long", folder + "\\bad.exe " + std::string(1100, 'x'));
    run_key.add("E-Good", folder + "\\good.exe");
    run_key.add("F-Folder", folder + "\\folder.exe");
    run_key.add("G-Missing", folder + "\\missing.exe");
    run_key.add("H-OpenQuote", "\\\"" + folder + "\\bad.exe");

    AutorunCheckOptions options;
    options.locations = {
        {AutostartKind::kRegistryKey, run_key.key, "HKCU Run"},
        {AutostartKind::kRegistryKey, run_key.key + "Once", "HKCU RunOnce"},
    };
    const std::string output = run(options);

    const std::string expected =
        "\n[INFO] Checking Registry Autoruns & Startup...\n"
        "[ALERT] Malicious Startup Found: HKCU Run -> A-Quoted\n"
        "        Path: " +
        folder +
        "\\with space\\bad.exe\n"
        "[ALERT] Malicious Startup Found: HKCU Run -> C-Unquoted\n"
        "        Path: " +
        folder +
        "\\bad.exe\n"
        "[ALERT] Malicious Startup Found: HKCU Run -> D-QuotedBat\n"
        "        Path: " +
        folder +
        "\\tool.bat\n"
        "[INFO] Registry Scan Complete. 4 entries checked. 3 malicious detected.\n";
    EXPECT_EQ(output, expected);
    const std::vector<std::string> expected_log = {
        "Starting Registry Autorun Scan",
        "[MALICIOUS-REG] HKCU Run A-Quoted -> " + folder + "\\with space\\bad.exe",
        "[MALICIOUS-REG] HKCU Run C-Unquoted -> " + folder + "\\bad.exe",
        "[MALICIOUS-REG] HKCU Run D-QuotedBat -> " + folder + "\\tool.bat",
        "Autostart entries checked per kind: registry 4",
    };
    EXPECT_EQ(log_messages(), expected_log);
}

}  // namespace
