// The start-up check of autostart entries: how a program path is taken out of an entry, and the
// whole check on fixture locations (folders on Linux, a test registry key on Windows).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_checker.h"
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
        dir.write("db/hashes.txt", hash + "\n");
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
