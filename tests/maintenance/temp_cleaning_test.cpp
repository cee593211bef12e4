#include "maintenance/temp_cleaning.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "console/console.h"
#include "maintenance/maintenance_test_support.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using maintenance_test::capture;
using maintenance_test::Captured;
using maintenance_test::kWindowsPaths;
using test_support::TempDir;

const auto& kTexts = platform::kComponentCleanupTexts;

// Harmless commands that both command interpreters understand.
constexpr const char* kSucceeds = "exit 0";
constexpr const char* kFails = "exit 3";

TempCleanOptions fixture_options(std::vector<fs::path> folders) {
    TempCleanOptions options;
    options.folders = std::move(folders);
    options.component_cleanup_command = kSucceeds;
    options.dns_flush_command = kSucceeds;
    options.min_entry_age = std::chrono::seconds::zero();
    return options;
}

Captured run_clean(const TempCleanOptions& options) {
    return capture([&](Logger& logger) { clean_temp_and_cache(logger, options); });
}

std::string blank_line() { return "\r" + std::string(kBlankWidth, ' ') + "\r"; }

// Spinner redraws depend on how long a command takes, so they are cut out before comparing.
std::string without_spinners(const std::string& console) {
    std::string result = console;
    for (const std::string& label :
         {std::string(kTexts.spinner_label), std::string("Flushing DNS Cache")}) {
        for (const auto frame : spinner_frames) {
            const std::string drawn = "\r" + label + " [" + std::string(frame) + "]";
            for (auto at = result.find(drawn); at != std::string::npos; at = result.find(drawn)) {
                result.erase(at, drawn.size());
            }
        }
    }
    return result;
}

std::string bar_draw(std::uint64_t current, std::uint64_t total) {
    ProgressIndicator bar;
    bar.mode = 0;
    bar.total = total;
    bar.current = current;
    return "\rCleaning Temp & Cache " + progress_text(bar);
}

// The whole console text of a run whose commands succeed, with the spinners cut out.
std::string expected_console(std::uint64_t items, const std::string& summary) {
    std::string text = "\n[INFO] Starting system cleaning...\n" + blank_line() + kTexts.success +
                       "\n[INFO] Enumerating temporary files...\n";
    if (items == 0) {
        text += "[INFO] No temporary files found.\n";
    } else {
        for (std::uint64_t i = 0; i <= items; ++i) text += bar_draw(i, items);
        text += blank_line() + "[SUCCESS] Temp files cleanup finished.\n";
    }
    return text + blank_line() + "[SUCCESS] DNS cache flushed.\n" + summary + "\n";
}

std::vector<std::string> expected_log(const std::string& summary) {
    return {kTexts.log_start, kTexts.log_success, "Flushing DNS cache", "DNS cache flushed",
            summary};
}

std::size_t entry_count(const fs::path& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(CleanTempAndCache, EmptiesEveryFolderWithNestedContentsAndKeepsTheFolders) {
    TempDir dir;
    dir.write("first/a.txt", "a");
    dir.write("first/tree/b.txt", "b");
    dir.write("first/tree/deeper/c.bin", std::string(70000, 'c'));
    fs::create_directories(dir / "first/empty-folder");
    dir.write("second/d.log", "d");

    const auto run = run_clean(fixture_options({dir / "first", dir / "second"}));

    const std::string summary = "[INFO] Cleaning complete. Removed 4 items.";
    EXPECT_EQ(without_spinners(run.console), expected_console(4, summary));
    EXPECT_EQ(run.log, expected_log("Temp/cache cleaning summary: removed 4, skipped 0"));
    ASSERT_TRUE(fs::is_directory(dir / "first"));
    ASSERT_TRUE(fs::is_directory(dir / "second"));
    EXPECT_EQ(entry_count(dir / "first"), 0u);
    EXPECT_EQ(entry_count(dir / "second"), 0u);
}

TEST(CleanTempAndCache, NothingToCleanShowsNoBarAndStillFlushes) {
    TempDir dir;
    fs::create_directories(dir / "empty");
    const auto marker = dir / "flushed.txt";
    auto options = fixture_options({dir / "empty", dir / "missing"});
    options.dns_flush_command = "echo flushed> " + marker.string();

    const auto run = run_clean(options);

    EXPECT_EQ(without_spinners(run.console),
              expected_console(0, "[INFO] Cleaning complete. Removed 0 items."));
    EXPECT_EQ(run.console.find("Cleaning Temp & Cache"), std::string::npos);
    EXPECT_EQ(run.log, expected_log("Temp/cache cleaning summary: removed 0, skipped 0"));
    EXPECT_TRUE(fs::exists(marker)) << "the DNS flush command did not run";

    const auto none = run_clean(fixture_options({}));
    EXPECT_EQ(without_spinners(none.console),
              expected_console(0, "[INFO] Cleaning complete. Removed 0 items."));
}

TEST(CleanTempAndCache, PassesOverFoldersThatAreMissingNotFoldersOrUnreadable) {
    TempDir dir;
    dir.write("not-a-folder", "plain file");
    dir.write("good/x.txt", "x");
    std::vector<fs::path> folders = {dir / "missing", dir / "not-a-folder", dir / "good"};
    // Root reads any folder whatever its mode, so the unreadable one exists only for other users.
    const bool can_lock_out = !kWindowsPaths && !platform::is_elevated();
    if (can_lock_out) {
        dir.write("locked/hidden.txt", "h");
        fs::permissions(dir / "locked", fs::perms::none);
        folders.push_back(dir / "locked");
    }

    const auto run = run_clean(fixture_options(folders));

    if (can_lock_out) fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(without_spinners(run.console),
              expected_console(1, "[INFO] Cleaning complete. Removed 1 items."));
    EXPECT_TRUE(fs::is_regular_file(dir / "not-a-folder"));
    EXPECT_FALSE(fs::exists(dir / "good/x.txt"));
    if (can_lock_out) {
        EXPECT_TRUE(fs::exists(dir / "locked/hidden.txt"));
    }
}

TEST(CleanTempAndCache, CountsAnUndeletableEntryAsSkipped) {
    TempDir dir;
    dir.write("temp/plain.txt", "p");
    const auto held = dir.write("temp/sub/held.txt", "h");
    std::ofstream holder;
    if (kWindowsPaths) {
        // The runtime opens files without delete sharing, so an open stream blocks deletion.
        holder.open(held, std::ios::app);
        ASSERT_TRUE(holder.is_open());
    } else if (!platform::is_elevated()) {
        fs::permissions(dir / "temp/sub", fs::perms::owner_read | fs::perms::owner_exec);
    } else {
        GTEST_SKIP() << "root deletes from read-only folders and open files do not block deletion "
                        "on Linux; the end-to-end test covers a skipped entry with a mount point";
    }

    const auto run = run_clean(fixture_options({dir / "temp"}));

    holder.close();
    fs::permissions(dir / "temp/sub", fs::perms::owner_all);
    EXPECT_EQ(without_spinners(run.console),
              expected_console(2,
                               "[INFO] Cleaning complete. Removed 1 items. Skipped 1 items "
                               "that could not be deleted."));
    EXPECT_EQ(run.log.back(), "Temp/cache cleaning summary: removed 1, skipped 1");
    EXPECT_FALSE(fs::exists(dir / "temp/plain.txt"));
    EXPECT_TRUE(fs::exists(held));
}

TEST(CleanTempAndCache, RemovesLinksWithoutTouchingWhatTheyPointAt) {
    TempDir dir;
    if (!maintenance_test::can_make_folder_links(dir.path())) {
        GTEST_SKIP() << "symbolic links cannot be created on this system";
    }
    dir.write("outside/keep.txt", "keep");
    dir.write("outside/inner/deep.txt", "deep");
    const auto outside_file = dir.write("outside-file.txt", "file");
    fs::create_directories(dir / "temp/real");
    fs::create_directory_symlink(dir / "outside", dir / "temp/folder-link");
    fs::create_directory_symlink(dir / "outside", dir / "temp/real/nested-link");
    fs::create_symlink(outside_file, dir / "temp/file-link");

    const auto run = run_clean(fixture_options({dir / "temp"}));

    EXPECT_EQ(test_support::read_file(dir / "outside/keep.txt"), "keep");
    EXPECT_EQ(test_support::read_file(dir / "outside/inner/deep.txt"), "deep");
    EXPECT_EQ(test_support::read_file(outside_file), "file");
    EXPECT_EQ(entry_count(dir / "temp"), 0u) << run.console;
    EXPECT_EQ(run.log.back(), "Temp/cache cleaning summary: removed 3, skipped 0");
}

// Another user keeps swapping subfolders of the temporary folder for links to a folder outside
// while the clean-up runs: whatever the timing, nothing outside may be deleted.
TEST(CleanTempAndCache, AFolderSwappedForALinkNeverRedirectsDeletion) {
    TempDir dir;
    if (!maintenance_test::can_make_folder_links(dir.path())) {
        GTEST_SKIP() << "symbolic links cannot be created on this system";
    }
    constexpr int kSwapped = 16;
    const auto refill_outside = [&] {
        for (int i = 0; i < 4; ++i) dir.write("outside/keep" + std::to_string(i), "keep");
        dir.write("outside/inner/deep.txt", "deep");
    };
    const auto outside_intact = [&] {
        for (int i = 0; i < 4; ++i) {
            if (!fs::exists(dir / ("outside/keep" + std::to_string(i)))) return false;
        }
        return fs::exists(dir / "outside/inner/deep.txt");
    };
    refill_outside();
    fs::create_directories(dir / "temp");
    fs::create_directories(dir / "staging");
    const auto sub = [&](int i) { return dir / "temp" / ("sub" + std::to_string(i)); };
    const auto parked = [&](int i) { return dir / "staging" / ("parked" + std::to_string(i)); };

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    int damaged_rounds = 0;
    for (; rounds < 1000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        // The subfolders hold the same names as the outside folder, so a deletion that goes
        // through a swapped-in link finds something to delete there.
        for (int i = 0; i < kSwapped; ++i) {
            fs::create_directories(sub(i) / "inner");
            for (int k = 0; k < 4; ++k) std::ofstream(sub(i) / ("keep" + std::to_string(k))) << "x";
            std::ofstream(sub(i) / "inner/deep.txt") << "x";
        }
        std::atomic<bool> stop{false};
        std::atomic<int> swaps{0};
        std::thread swapper([&] {
            std::error_code ec;
            for (; !stop.load(); ++swaps) {
                for (int i = 0; i < kSwapped; ++i) {
                    fs::rename(sub(i), parked(i), ec);
                    fs::create_directory_symlink(dir / "outside", sub(i), ec);
                }
                for (int i = 0; i < kSwapped; ++i) {
                    fs::remove(sub(i), ec);
                    fs::rename(parked(i), sub(i), ec);
                }
            }
        });
        // The clean-up starts only once the swapper is running, or it could finish before.
        while (swaps.load() == 0) std::this_thread::yield();
        platform::TempFolder folder(dir / "temp");
        std::vector<fs::path> names;
        folder.list(names);
        // Two passes, so folders parked by the swapper during the first are met again.
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& name : names) folder.remove(name, {});
        }
        stop = true;
        swapper.join();

        if (!outside_intact()) {
            ++damaged_rounds;
            refill_outside();
        }
        std::error_code ec;
        for (int i = 0; i < kSwapped; ++i) {
            fs::remove_all(sub(i), ec);
            fs::remove_all(parked(i), ec);
        }
    }
    EXPECT_EQ(damaged_rounds, 0) << "outside files deleted in " << damaged_rounds << " of "
                                 << rounds << " rounds";
    EXPECT_GE(rounds, 5) << "too few rounds to mean anything";
}

TEST(CleanTempAndCache, LeavesRecentlyUsedEntriesAlone) {
    TempDir dir;
    // The clock runs two days ahead, so everything made now is old; "recent" entries are dated
    // into that future, one hour before the clock.
    const auto ahead = std::chrono::hours(48);
    const auto recent = ahead - std::chrono::hours(1);
    const auto date_recent = [&](const fs::path& path) {
        fs::last_write_time(path, fs::last_write_time(path) + recent);
    };
    dir.write("temp/old.txt", "o");
    dir.write("temp/old-tree/a/b.txt", "b");
    date_recent(dir.write("temp/recent.txt", "r"));
    dir.write("temp/old-folder-recent-inside/x.txt", "x");
    date_recent(dir.write("temp/old-folder-recent-inside/deep/er/recent.txt", "r"));

    auto options = fixture_options({dir / "temp"});
    options.min_entry_age = std::chrono::hours(24);
    options.clock = [ahead] { return std::chrono::system_clock::now() + ahead; };
    const auto run = run_clean(options);

    EXPECT_EQ(without_spinners(run.console),
              expected_console(4, "[INFO] Cleaning complete. Removed 2 items."));
    EXPECT_FALSE(fs::exists(dir / "temp/old.txt"));
    EXPECT_FALSE(fs::exists(dir / "temp/old-tree"));
    EXPECT_TRUE(fs::exists(dir / "temp/recent.txt"));
    EXPECT_TRUE(fs::exists(dir / "temp/old-folder-recent-inside/x.txt"));
    EXPECT_TRUE(fs::exists(dir / "temp/old-folder-recent-inside/deep/er/recent.txt"));

    // With the real clock, everything just made is in use.
    options.clock = [] { return std::chrono::system_clock::now(); };
    dir.write("temp/fresh.txt", "f");
    const auto again = run_clean(options);
    EXPECT_EQ(again.log.back(), "Temp/cache cleaning summary: removed 0, skipped 0");
    EXPECT_TRUE(fs::exists(dir / "temp/fresh.txt"));
}

// The batch clean-up: a dry run names exactly what the real run then deletes, and changes
// nothing and runs no command; the real run reports what it deleted. Neither prints anything.
TEST(CleanTempUnattended, DryRunListsWhatTheRealRunDeletes) {
    TempDir dir;
    const auto ahead = std::chrono::hours(48);
    dir.write("temp/old.txt", "o");
    dir.write("temp/old-tree/a/b.txt", "b");
    const auto recent = dir.write("temp/recent.txt", "r");
    fs::last_write_time(recent, fs::last_write_time(recent) + ahead - std::chrono::hours(1));
    dir.write("second/stale.bin", "s");

    auto options = fixture_options({dir / "temp", dir / "second"});
    options.min_entry_age = std::chrono::hours(24);
    options.clock = [ahead] { return std::chrono::system_clock::now() + ahead; };
    // A command that ran would leave its mark.
    const auto mark = dir / "ran";
    options.component_cleanup_command = "echo x> \"" + mark.string() + "\"";
    options.dns_flush_command = options.component_cleanup_command;

    TempCleanOutcome dry;
    const auto dry_run = capture([&](Logger& logger) {
        dry = clean_temp_unattended(logger, options, /*dry_run=*/true);
    });
    const std::set<fs::path> expected = {dir / "temp/old.txt", dir / "temp/old-tree",
                                         dir / "second/stale.bin"};
    EXPECT_EQ(std::set<fs::path>(dry.removable.begin(), dry.removable.end()), expected);
    EXPECT_TRUE(dry.removed.empty());
    EXPECT_EQ(dry.in_use, 1u);
    EXPECT_EQ(dry_run.console, "");
    EXPECT_TRUE(dry_run.log.empty());
    EXPECT_FALSE(fs::exists(mark));
    for (const auto& path : expected) EXPECT_TRUE(fs::exists(path)) << path;

    TempCleanOutcome real;
    const auto real_run = capture([&](Logger& logger) {
        real = clean_temp_unattended(logger, options, /*dry_run=*/false);
    });
    EXPECT_EQ(std::set<fs::path>(real.removed.begin(), real.removed.end()), expected);
    EXPECT_TRUE(real.removable.empty());
    EXPECT_TRUE(real.failed.empty());
    EXPECT_TRUE(real.component_cleanup_ok);
    EXPECT_EQ(real_run.console, "");
    for (const auto& path : expected) EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(recent));
    EXPECT_TRUE(fs::exists(mark));
    EXPECT_EQ(real_run.log.back(), "Temp/cache cleaning summary: removed 3, skipped 0");

    options.component_cleanup_command = kFails;
    EXPECT_FALSE(capture([&](Logger& logger) {
                     real = clean_temp_unattended(logger, options, false);
                 }).log.empty());
    EXPECT_FALSE(real.component_cleanup_ok);
}

// Makes a listening-style socket file at path, as a running service would; it stays after the
// helper exits. The helper binds a name relative to the folder, since socket paths are short.
void make_socket(const fs::path& path) {
    fs::create_directories(path.parent_path());
    const std::string command = "cd '" + path.parent_path().string() +
                                "' && python3 -c \"import socket; "
                                "socket.socket(socket.AF_UNIX).bind('" +
                                path.filename().string() + "')\"";
    ASSERT_EQ(platform::run_command(command), 0) << command;
    ASSERT_TRUE(fs::is_socket(path)) << path;
}

// A socket's times do not change while it is used, and services keep well-known names at the top
// of the temporary folder for as long as they run: none of these may go, however old, while
// look-alike names and the same names deeper down are ordinary entries.
TEST(CleanTempAndCache, LeavesSocketsAndRunningServicesEntriesAlone) {
    if (kWindowsPaths) GTEST_SKIP() << "sockets and service names are kept on Linux only";
    const std::vector<std::string> kept = {
        ".X11-unix/X0",  // the display socket
        ".ICE-unix/1234.txt",
        ".XIM-unix/a.txt",
        ".font-unix/fs7100.txt",
        ".Test-unix/t.txt",
        ".X0-lock",
        ".X1024-lock",
        "systemd-private-0123abcd-demo.service-Xy12/tmp/state.txt",
        "agent.sock",      // a socket at the top
        "tmux-0/default",  // a socket in an ordinary folder keeps the whole folder
        "tmux-0/notes.txt",
        "db/a/b/c/db.sock",  // however deep
        "db/readme.txt",
    };
    const std::set<std::string> sockets = {".X11-unix/X0", "agent.sock", "tmux-0/default",
                                           "db/a/b/c/db.sock"};
    const std::vector<std::string> removed = {
        "plain.txt", "tree/.X11-unix/x.txt", ".X11-unix-old/x.txt",  "X0-lock",
        ".x0-lock",  ".X0-lock.bak",         "systemd-privat/x.txt", "my-systemd-private-x/y.txt",
    };
    struct Rule {
        const char* name;
        std::chrono::seconds min_age;
    };
    const Rule rules[] = {{"no age limit", std::chrono::seconds::zero()},
                          {"one day, clock two days ahead", std::chrono::hours(24)}};
    for (const auto& rule : rules) {
        SCOPED_TRACE(rule.name);
        TempDir dir;
        for (const auto& entry : kept) {
            if (sockets.count(entry) != 0) {
                make_socket(dir / "temp" / entry);
            } else {
                dir.write("temp/" + entry, entry);
            }
        }
        for (const auto& entry : removed) dir.write("temp/" + entry, entry);

        auto options = fixture_options({dir / "temp"});
        options.min_entry_age = rule.min_age;
        options.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(48); };
        const auto run = run_clean(options);

        EXPECT_EQ(without_spinners(run.console),
                  expected_console(19, "[INFO] Cleaning complete. Removed 8 items."));
        for (const auto& entry : kept) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "temp" / entry))) << entry;
        }
        for (const auto& entry : removed) {
            const auto top = *fs::path(entry).begin();
            EXPECT_FALSE(fs::exists(dir / "temp" / top)) << entry;
        }
    }
}

// The user's temporary folder comes from the environment as given; the clean-up may empty it only
// when it is none of the folders whose loss would wreck the system, the user or the program.
TEST(UsableUserTempFolder, RefusesRootHomeAndProgramFolders) {
    // The cases are written with Linux paths; on Windows they move onto drive C.
    const auto native = [](const std::string& text) {
        return fs::path(kWindowsPaths && text.starts_with("/") ? "C:" + text : text);
    };
    struct Case {
        const char* candidate;
        const char* home;
        const char* program;
        bool usable;
        const char* why;
    };
    const Case cases[] = {
        {"/tmp", "/root", "/opt/quorvex", true, "an ordinary temporary folder"},
        {"/home/alice/tmp", "/home/alice", "/opt/quorvex", true, "a folder inside home"},
        {"/opt/quorvex/tmp", "/root", "/opt/quorvex", true, "a folder inside the program's"},
        {"/home/al", "/home/alice", "/opt/quorvex", true, "a name that only starts like home"},
        {"/opt/quorvex2", "/root", "/opt/quorvex", true, "a sibling of the program's folder"},
        {"/home", "", "", true, "no home or program folder known"},
        {"/", "/root", "/opt/quorvex", false, "the root folder"},
        {"/", "", "", false, "the root folder with no home or program folder known"},
        {"/tmp/..", "/root", "/opt/quorvex", false, "the root folder reached through .."},
        {"/root", "/root", "/opt/quorvex", false, "the home folder"},
        {"/root/", "/root", "/opt/quorvex", false, "the home folder with a trailing separator"},
        {"/root/./", "/root/", "/opt/quorvex", false, "the home folder written loosely"},
        {"/home", "/home/alice/", "/opt/quorvex", false, "an ancestor of home"},
        {"/home/alice/../bob/..", "/home/alice", "/opt/quorvex", false, "an ancestor via .."},
        {"/opt/quorvex", "/root", "/opt/quorvex", false, "the program's folder"},
        {"/opt", "/root", "/opt/quorvex/bin", false, "a folder holding the program's"},
        {"tmp", "/root", "/opt/quorvex", false, "a relative name"},
        {"", "/root", "/opt/quorvex", false, "no name at all"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::usable_user_temp_folder(native(c.candidate), native(c.home),
                                                    native(c.program)),
                  c.usable)
            << c.why << ": " << c.candidate;
    }
}

// TEMP and TMP are read on Windows as the system reads them, so every way of writing the drive
// root, the profile folder or a folder above the program's is refused, however it is spelled.
TEST(UsableUserTempFolder, WindowsSpellingsOfRootsProfileAndProgramFolder) {
    if (!kWindowsPaths) GTEST_SKIP() << "Windows path rules";
    struct Case {
        const wchar_t* candidate;
        bool usable;
        const char* why;
    };
    const fs::path home = L"C:\\Users\\Alice";
    const fs::path program = L"C:\\Program Files\\Quorvex";
    const Case cases[] = {
        {L"C:\\Users\\Alice\\AppData\\Local\\Temp", true, "the usual temporary folder"},
        {L"c:/users/alice/appdata/local/temp/", true, "the same, written loosely"},
        {L"\\\\?\\C:\\Users\\Alice\\AppData\\Local\\Temp", true, "the same, verbatim"},
        {L"C:\\Users\\Al", true, "a name that only starts like the profile's"},
        {L"C:\\Users\\Alice2", true, "a sibling of the profile"},
        {L"D:\\Temp", true, "a folder on another drive"},
        {L"C:\\Program Files\\Quorvex\\tmp", true, "a folder inside the program's"},
        {L"\\\\server\\share\\temp", true, "a folder on a network share"},
        {L"C:\\Temp\\.", true, "a folder with a trailing ."},
        {L"C:\\", false, "the drive root"},
        {L"C:/", false, "the drive root with a forward slash"},
        {L"c:\\", false, "the drive root in lower case"},
        {L"C:\\.", false, "the drive root with a trailing ."},
        {L"C:\\Temp\\..", false, "the drive root reached through .."},
        {L"C:\\..\\..", false, "above the drive root, which is the root"},
        {L"\\\\?\\C:\\", false, "the drive root, verbatim"},
        {L"\\\\?\\c:", false, "the drive, verbatim, without separator"},
        {L"\\\\.\\C:\\", false, "the drive root as a device path"},
        {L"//?/C:/", false, "the drive root, verbatim with forward slashes"},
        {L"\\\\server\\share", false, "the root of a network share"},
        {L"\\\\server\\share\\", false, "the same with a trailing separator"},
        {L"//server/share/", false, "the same with forward slashes"},
        {L"\\\\?\\UNC\\server\\share", false, "the same, verbatim"},
        {L"\\\\server", false, "a server without a share"},
        {L"C:\\Users\\Alice", false, "the profile folder"},
        {L"c:\\USERS\\alice\\", false, "the profile folder in other letter case"},
        {L"C:/Users/Alice", false, "the profile folder with forward slashes"},
        {L"C:\\Users\\Alice.", false, "the profile folder with a trailing dot"},
        {L"C:\\Users\\Alice  ", false, "the profile folder with trailing blanks"},
        {L"\\\\?\\C:\\Users\\Alice", false, "the profile folder, verbatim"},
        {L"C:\\Users\\Bob\\..\\Alice", false, "the profile folder through .."},
        {L"C:\\Users", false, "the folder above the profile"},
        {L"C:\\USERS\\", false, "the same in capitals"},
        {L"C:\\Program Files\\Quorvex", false, "the program's folder"},
        {L"c:\\program files", false, "the folder holding the program's"},
        {L"C:Temp", false, "relative to drive C's current folder"},
        {L"C:", false, "drive C's current folder"},
        {L"\\Temp", false, "relative to the current drive"},
        {L"Temp", false, "a relative name"},
        {L"", false, "no name at all"},
        {L"\\\\.\\pipe\\temp", false, "a device"},
        {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\", false, "a volume name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::usable_user_temp_folder(c.candidate, home, program), c.usable)
            << c.why << ": " << fs::path(c.candidate).string();
    }
    // The profile or program folder may be spelled in any of those ways as well.
    for (const fs::path kept : {L"\\\\?\\c:\\users\\alice\\", L"C:/USERS/ALICE/."}) {
        EXPECT_FALSE(platform::usable_user_temp_folder(L"C:\\Users", kept, {})) << kept.string();
        EXPECT_FALSE(platform::usable_user_temp_folder(L"C:\\Users", {}, kept)) << kept.string();
        EXPECT_TRUE(platform::usable_user_temp_folder(L"C:\\Temp", kept, kept)) << kept.string();
    }
}

TEST(CleanTempAndCache, ReportsTheComponentCleanupOutcome) {
    struct Case {
        const char* command;
        const char* console_line;
        const char* log_line;
    };
    const Case cases[] = {
        {kSucceeds, kTexts.success, kTexts.log_success},
        {kFails, kTexts.failure, kTexts.log_failure},
        {"quorvex-no-such-command-here", kTexts.failure, kTexts.log_failure},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto options = fixture_options({});
        options.component_cleanup_command = c.command;
        const auto run = run_clean(options);
        EXPECT_NE(run.console.find(blank_line() + c.console_line + "\n[INFO] Enumerating"),
                  std::string::npos)
            << c.command << "\n"
            << run.console;
        ASSERT_EQ(run.log.size(), 5u) << c.command;
        EXPECT_EQ(run.log[1], c.log_line) << c.command;
        // A failed first command does not stop the rest of the clean-up.
        EXPECT_EQ(run.log[4], "Temp/cache cleaning summary: removed 0, skipped 0") << c.command;
    }
}

TEST(RunWithSpinner, TheSpinnerTurnsWhileASlowCommandRuns) {
    const std::string slow = kWindowsPaths ? "ping -n 3 127.0.0.1 > nul" : "sleep 1";
    test_support::CoutCapture capture;
    const int status = run_with_spinner("Slow Step", slow);
    const std::string text = capture.text();

    EXPECT_EQ(status, 0);
    std::set<std::string> frames;
    std::size_t draws = 0;
    const std::string drawn = "\rSlow Step [";
    for (auto at = text.find(drawn); at != std::string::npos; at = text.find(drawn, at + 1)) {
        frames.insert(text.substr(at + drawn.size(), 1));
        ++draws;
    }
    EXPECT_EQ(text.rfind("\rSlow Step [|]", 0), 0u) << "the spinner is drawn before waiting";
    EXPECT_GE(draws, 4u) << text;
    EXPECT_EQ(frames.size(), 4u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "the spinner stays on its line";
}

TEST(RunWithSpinner, ReturnsTheCommandsStatus) {
    test_support::CoutCapture capture;
    EXPECT_EQ(run_with_spinner("Step", kSucceeds), 0);
    EXPECT_NE(run_with_spinner("Step", kFails), 0);
}

}  // namespace
