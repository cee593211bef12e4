"""The start-up screen, the main menu and the scan dialog, driven through pipes and a terminal."""

import os
import subprocess

import harness
from harness import MENU, BANNER, check, check_equal

DIALOG = (
    BANNER
    + "\n--- Scan Configuration ---\n"
    "1. Quick Scan (Common Folders)\n"
    "2. Full Scan (Entire System Drive)\n"
    "3. Custom Scan (Select Folder)\n"
    "4. Go Back\n"
    "Choice: "
)


def test_exit_shows_banner_and_menu_once():
    inst = harness.Installation("exit")
    result = inst.run("5\n")
    check_equal(result.returncode, 0, "exit status", result)
    check(result.stdout.endswith(MENU), "output must end with the menu", result)
    check_equal(result.stdout.count(MENU), 1, "menu drawn once", result)


def test_closed_input_at_menu_exits_cleanly():
    inst = harness.Installation("eof")
    # Only prompts that start nothing on the host: cleaning and updating have tests of their own.
    for keys in ["", "1\n", "1\n1\n", "1\n3\n0\n0\n", "3\n", "abc"]:
        result = inst.run(keys, timeout=60)
        check_equal(result.returncode, 0, "exit status for %r" % keys, result)


def test_bad_input_redraws_menu_without_message():
    inst = harness.Installation("redraw")
    cases = [
        ("hello world\n5\n", 2),  # the rest of a bad line is discarded: one redraw
        ("0\n6\n-1\n5\n", 4),
        ("2147483648\n5\n", 2),  # too large for 32 bits counts as not a number
        ("99999999999999999999\n5\n", 2),
    ]
    for keys, menus in cases:
        result = inst.run(keys)
        check_equal(result.returncode, 0, "exit status for %r" % keys, result)
        check_equal(result.stdout.count(MENU), menus, "menus drawn for %r" % keys, result)
        tail = result.stdout.split(MENU, 1)[1]
        check_equal(tail, MENU * (menus - 1), "nothing but menus after the first for %r" % keys,
                    result)


def test_start_up_lines_for_cache_and_database():
    # Without rule files the Linux build says why no rules are loaded; the Windows build, which
    # matches no rules, says nothing of them.
    rules = "" if harness.is_windows() else (
        "[INIT] No rules loaded: no rule files (*.yar, *.yara) found.\n")
    cases = [
        # (files beside the executable, the lines before the autostart check)
        ({"hashes.txt": "a" * 64 + "\n"},
         "[INFO] Starting with empty hash cache.\n[INIT] Loading hash database...\n"),
        ({},
         "[INFO] Starting with empty hash cache.\n[INIT] Loading hash database...\n"
         "[WARN] Could not load hashes. Starting with empty database.\n"),
        ({"hashes.txt": "a" * 64 + "\n", "hash_cache.bin": "\0" * 8},
         "[INFO] Hash cache loaded: 0 entries.\n[INIT] Loading hash database...\n"),
    ]
    for number, (files, expected) in enumerate(cases):
        inst = harness.Installation("startup%d" % number)
        for name, content in files.items():
            inst.write(name, content)
        result = inst.run("5\n")
        check_equal(result.returncode, 0, "exit status", result)
        check(result.stdout.startswith(expected + rules + "\n[INFO] Checking "),
              "start-up lines for %s" % sorted(files), result)


def test_scan_dialog_go_back_and_unknown_kind():
    inst = harness.Installation("dialog")
    result = inst.run("1\n4\n5\n")
    check_equal(result.stdout.split(MENU, 1)[1], DIALOG + MENU, "go back returns to the menu",
                result)
    result = inst.run("1\n7\n2\n1\n5\n")
    check_equal(
        result.stdout.split(MENU, 1)[1],
        DIALOG + "Enable Heuristics (Entropy Check) [0/1]: "
        "Verify Digital Signatures (Skip Trusted) [0/1]: " + MENU,
        "an unknown kind asks both questions and returns without scanning", result)


def test_log_lands_in_start_folder_and_data_beside_executable():
    inst = harness.Installation("cwd")
    start = inst.path("elsewhere")
    os.makedirs(start)
    result = inst.run("5\n", cwd=start)
    check_equal(result.returncode, 0, "exit status", result)
    check(os.path.exists(os.path.join(start, "scan_log.txt")), "log in the start folder", result)
    check(not os.path.exists(inst.path("scan_log.txt")), "no log beside the executable", result)
    # The database is rebuilt beside the executable from the list shipped there.
    inst.write("hashes.txt", "a" * 64 + "\n")
    result = inst.run("5\n", cwd=start)
    check(os.path.exists(inst.path("hashes.bin")), "hashes.bin built beside the executable",
          result)
    check(not os.path.exists(os.path.join(start, "hashes.bin")), "nothing in the start folder",
          result)


def test_not_elevated_warns_and_waits_for_a_key():
    inst = harness.Installation("unprivileged")
    result = inst.run("x\n5\n", timeout=60, as_nobody=True)
    out = result.stdout
    check_equal(result.returncode, 0, "exit status", result)
    expected_start = (BANNER + "[!] WARNING: Not running as root. Some features (cleaning system "
                      "files, system autostart entries) will fail.\n"
                      "Press Enter to continue anyway or restart as Admin...\n")
    check(out.startswith(expected_start), "banner and warning first:\n" + out)
    check(out.endswith(MENU), "then the menu:\n" + out)


def test_terminal_shows_colours_and_clears_screen():
    if harness.is_windows():
        raise harness.Skip("the terminal test runs on the native build")
    inst = harness.Installation("tty")
    for no_color, expect_colour in [("", True), ("1", False)]:
        screen = harness.run_in_terminal(inst, "5\n", {"NO_COLOR": no_color})
        check("\x1b[H\x1b[2J\x1b[3J" in screen, "screen cleared before the menu:\n%r" % screen)
        coloured_item = "\x1b[97m  [1] Smart Scan Options\r\n\x1b[0m"
        coloured_exit = "\x1b[91m  [5] Exit\r\n\x1b[0m"
        if expect_colour:
            check(coloured_item in screen and coloured_exit in screen,
                  "menu lines in bright white and red:\n%r" % screen)
        else:
            check("\x1b[9" not in screen and "  [1] Smart Scan Options\r\n" in screen,
                  "NO_COLOR removes every colour:\n%r" % screen)


if __name__ == "__main__":
    harness.main([
        test_exit_shows_banner_and_menu_once,
        test_closed_input_at_menu_exits_cleanly,
        test_bad_input_redraws_menu_without_message,
        test_start_up_lines_for_cache_and_database,
        test_scan_dialog_go_back_and_unknown_kind,
        test_log_lands_in_start_folder_and_data_beside_executable,
        test_not_elevated_warns_and_waits_for_a_key,
        test_terminal_shows_colours_and_clears_screen,
    ])
