"""Menu items 2 (temp and cache clean-up) and 3 (memory clean-up) through the real executable.

The clean-up runs with its real folders and commands, so this machine is kept out of reach:
  Linux: the program runs in a private mount namespace with a tmpfs over /var/tmp, TMPDIR naming a
  fixture folder, stand-in apt-get and resolvectl scripts first on PATH, and its clock moved days
  ahead by faketime (a file's change time cannot be set back), recent entries dated into that future.
  Windows (Wine): TEMP and TMP name a fixture folder inside the throw-away Wine prefix; the other
  folders are the prefix's own.
"""

import os
import re
import shutil
import socket
import subprocess
import time

import harness
from harness import MENU, check, check_equal

PRESS_ENTER = "\nPress Enter to return to menu..."
BLANK = "\r" + " " * 80 + "\r"
FAKE_DAYS = 3


def action_output(result):
    """The text the action printed: from the first menu to the return prompt."""
    check(MENU in result.stdout and PRESS_ENTER in result.stdout, "menu and prompt shown", result)
    return result.stdout.split(MENU, 1)[1].split(PRESS_ENTER, 1)[0]


def without_spinners(text, labels):
    for label in labels:
        text = re.sub("\r" + re.escape(label) + r" \[[|/\\-]\]", "", text)
    return text


def bar(current, total):
    fraction = 0.0 if total == 0 else current / total
    filled = int(fraction * 30.0)
    cells = "".join("=" if i < filled else (">" if i == filled else " ") for i in range(30))
    return "\rCleaning Temp & Cache [%s] %d%%" % (cells, int(fraction * 100.0))


def expected_clean_output(success_line, items, summary):
    text = "\n[INFO] Starting system cleaning...\n" + BLANK + success_line + "\n"
    text += "[INFO] Enumerating temporary files...\n"
    text += "".join(bar(i, items) for i in range(items + 1))
    text += BLANK + "[SUCCESS] Temp files cleanup finished.\n"
    text += BLANK + "[SUCCESS] DNS cache flushed.\n" + summary + "\n"
    return text


def log_messages(inst):
    return [line[20:] for line in inst.read("scan_log.txt").splitlines()]


def check_lines(actual, expected, message, result):
    check_equal("\n".join(actual), "\n".join(expected), message, result)


# --- Linux -------------------------------------------------------------------------------------

LINUX_TEXTS = {
    "label": "Cleaning Package Cache",
    "success": "[SUCCESS] Package cache cleanup completed.",
    "failure": "[WARN] Package cache cleanup failed or requires root rights.",
    "log_start": "Starting package cache cleanup",
    "log_success": "Package cache cleanup successful",
    "log_failure": "[WARN] Package cache cleanup failed - may need root privileges",
}

# Runs inside the private mount namespace. set -e: if any mount fails, the program never runs, so
# it can never meet the real /var/tmp.
NAMESPACE_SCRIPT = r"""
set -eu
mount -t tmpfs quorvex-e2e /var/tmp
mountpoint -q /var/tmp
mount -t tmpfs quorvex-e2e "$FIXTURE/tmp/mounted"
echo inside > "$FIXTURE/tmp/mounted/inside.txt"
echo old > /var/tmp/old-var.txt
echo recent > /var/tmp/recent-var.txt
touch -d "@$RECENT" /var/tmp/recent-var.txt
status=0
# QUORVEX_ARGS: a batch command and its options, split into words on purpose.
PATH="$FIXTURE/bin:$PATH" TMPDIR="$USER_TEMP" faketime -f "+${FAKE_DAYS}d" "$EXE" $QUORVEX_ARGS \
    || status=$?
ls -A /var/tmp > "$FIXTURE/marks/var-tmp-after"
ls -A "$FIXTURE/tmp/mounted" > "$FIXTURE/marks/mounted-after"
exit $status
"""


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def linux_fixture(inst, apt_status):
    fixture = inst.path("fixture")
    for sub in ("bin", "marks", "outside/inner", "tmp/mounted"):
        os.makedirs(os.path.join(fixture, sub), exist_ok=True)
    marks = os.path.join(fixture, "marks")
    write_script(os.path.join(fixture, "bin", "apt-get"),
                 '#!/bin/sh\necho "$@" > "%s/apt-get"\nexit %d\n' % (marks, apt_status))
    write_script(os.path.join(fixture, "bin", "resolvectl"),
                 '#!/bin/sh\necho "$@" > "%s/resolvectl"\nexit 1\n' % marks)

    recent = int(time.time()) + FAKE_DAYS * 86400 - 3600

    def make(relative, recent_time=False):
        path = os.path.join(fixture, "tmp", relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(relative)
        if recent_time:
            os.utime(path, (recent, recent))
        return path

    for relative in ("outside/keep.txt", "outside/inner/deep.txt"):
        with open(os.path.join(fixture, relative), "w") as f:
            f.write("keep")
    make("old.txt")
    make("old-tree/a/b.txt")
    make("recent.txt", recent_time=True)
    make("old-folder-recent-inside/x.txt")
    make("old-folder-recent-inside/deep/recent.txt", recent_time=True)
    os.symlink(os.path.join(fixture, "outside"), os.path.join(fixture, "tmp", "link-outside"))
    # What running services keep there, as old as the rest: none of it may go.
    make(".X0-lock")
    make("systemd-private-0123abcd-demo.service-Xy12/tmp/state.txt")
    make("tmux-0/notes.txt")
    make_socket(os.path.join(fixture, "tmp", "tmux-0"), "default")
    return fixture, recent


def make_socket(folder, name):
    """Leaves a socket file as a running service would. It is bound by a name relative to its
    folder because socket paths are short."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(name)
    finally:
        os.chdir(previous)


def run_in_namespace(inst, fixture, recent, keys, user_temp=None, args=""):
    env = dict(os.environ)
    env.update(FIXTURE=fixture, RECENT=str(recent), FAKE_DAYS=str(FAKE_DAYS), EXE=inst.exe,
               USER_TEMP=user_temp or os.path.join(fixture, "tmp"), QUORVEX_ARGS=args)
    # A sanitizer runtime insists on coming first among preloaded libraries; faketime is one too.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
    completed = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE_SCRIPT],
        input=keys.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=inst.folder,
        env=env, timeout=120)
    return harness.Result(completed.stdout.decode("utf-8", "replace"),
                          completed.stderr.decode("utf-8", "replace"), completed.returncode)


def read_mark(fixture, name):
    path = os.path.join(fixture, "marks", name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read().split()


def linux_clean(name, apt_status, success_line, log_line):
    inst = harness.Installation(name)
    fixture, recent = linux_fixture(inst, apt_status)
    result = run_in_namespace(inst, fixture, recent, "2\n\n5\n")
    check_equal(result.returncode, 0, "exit status", result)

    summary = ("[INFO] Cleaning complete. Removed 4 items. Skipped 1 items that could not be "
               "deleted.")
    # Items: nine fixture entries and two in /var/tmp.
    output = without_spinners(action_output(result), [LINUX_TEXTS["label"], "Flushing DNS Cache"])
    check_equal(output, expected_clean_output(success_line, 11, summary), "console output", result)
    check_lines(log_messages(inst)[-5:], [
        LINUX_TEXTS["log_start"], log_line, "Flushing DNS cache", "DNS cache flushed",
        "Temp/cache cleaning summary: removed 4, skipped 1"], "log lines", result)

    check_lines(read_mark(fixture, "apt-get") or [], ["clean"], "apt-get stand-in ran", result)
    check_lines(read_mark(fixture, "resolvectl") or [], ["flush-caches"],
                "resolvectl stand-in ran", result)
    left = sorted(os.listdir(os.path.join(fixture, "tmp")))
    check_lines(left, [".X0-lock", "mounted", "old-folder-recent-inside", "recent.txt",
                       "systemd-private-0123abcd-demo.service-Xy12", "tmux-0"],
                "entries left in TMPDIR", result)
    check_lines(sorted(os.listdir(os.path.join(fixture, "tmp", "tmux-0"))),
                ["default", "notes.txt"], "a folder holding a socket is left whole", result)
    check(os.path.exists(os.path.join(fixture, "tmp/old-folder-recent-inside/x.txt")),
          "an old file in a recently used folder stays", result)
    check_lines(read_mark(fixture, "var-tmp-after") or [], ["recent-var.txt"], "left in /var/tmp",
                result)
    check_lines(read_mark(fixture, "mounted-after") or [], ["inside.txt"],
                "another file system is not entered", result)
    for relative in ("outside/keep.txt", "outside/inner/deep.txt"):
        check(os.path.exists(os.path.join(fixture, relative)),
              relative + " outside the temporary folder survives", result)


def linux_refuses_program_folder_as_tmpdir():
    """TMPDIR naming the folder that holds the program is passed over: only /var/tmp is cleaned."""
    inst = harness.Installation("clean_tmpdir_program_folder")
    fixture, recent = linux_fixture(inst, 0)
    before = sorted(os.listdir(inst.folder))
    result = run_in_namespace(inst, fixture, recent, "2\n\n5\n", user_temp=inst.folder)
    check_equal(result.returncode, 0, "exit status", result)
    output = without_spinners(action_output(result), [LINUX_TEXTS["label"], "Flushing DNS Cache"])
    check_equal(output, expected_clean_output(LINUX_TEXTS["success"], 2,
                                              "[INFO] Cleaning complete. Removed 1 items."),
                "console output", result)
    after = set(os.listdir(inst.folder))
    check(set(before) <= after, "the program's folder keeps %s, has %s" % (before, sorted(after)),
          result)
    check(os.path.exists(os.path.join(fixture, "tmp", "old.txt")), "the fixture is untouched",
          result)
    check_lines(read_mark(fixture, "var-tmp-after") or [], ["recent-var.txt"], "left in /var/tmp",
                result)


def linux_batch_clean():
    """`quorvex clean --dry-run` names what would go and changes nothing; `quorvex clean` then
    deletes it, without spinners or bars, and says what it could not delete."""
    inst = harness.Installation("clean_batch")
    fixture, recent = linux_fixture(inst, 0)
    tmp = os.path.join(fixture, "tmp")
    before = sorted(os.listdir(tmp))
    result = run_in_namespace(inst, fixture, recent, "", args="clean --dry-run")
    check_equal(result.returncode, 0, "dry run exit status", result)
    listed = result.stdout.split("\n\n")[0].split("\n")
    would_go = sorted(os.path.join(tmp, n) for n in ("old.txt", "old-tree", "link-outside",
                                                     "mounted")) + ["/var/tmp/old-var.txt"]
    check_lines(sorted(listed), sorted(would_go), "the entries that would be deleted", result)
    check("\n5 entries would be deleted; 6 in use would be kept. Nothing was deleted.\n"
          in result.stdout, "dry run summary", result)
    check_lines(sorted(os.listdir(tmp)), before, "nothing deleted", result)
    check_lines(read_mark(fixture, "var-tmp-after") or [], ["old-var.txt", "recent-var.txt"],
                "nothing deleted in /var/tmp", result)
    check(read_mark(fixture, "apt-get") is None and read_mark(fixture, "resolvectl") is None,
          "no command ran", result)

    result = run_in_namespace(inst, fixture, recent, "", args="clean")
    check_equal(result.returncode, 2, "an entry that could not be deleted: exit 2", result)
    check_equal(result.stdout, LINUX_TEXTS["success"] + "\n[INFO] Cleaning complete. Removed 4 "
                "items. Skipped 1 items that could not be deleted.\n", "batch output", result)
    check_equal(result.stderr, os.path.join(tmp, "mounted") + ": ERROR could not be deleted\n",
                "the entry it could not delete", result)
    check_lines(read_mark(fixture, "apt-get") or [], ["clean"], "apt-get stand-in ran", result)


def linux_namespace_available():
    probe = subprocess.run(["unshare", "--mount", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return probe.returncode == 0 and shutil.which("faketime") is not None


# --- Windows under Wine --------------------------------------------------------------------------

def wine_prefix():
    return os.environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")


def windows_path(linux_path):
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def run_with_windows_temp(inst, windows_temp, keys, profile=None):
    """Runs the program with TEMP and TMP naming windows_temp (and USERPROFILE naming profile, when
    given). Wine sets them from the prefix's registry in a process started from Linux, so a batch
    file sets them and starts the program, which inherits them as on Windows."""
    batch = inst.path("run-with-temp.bat")
    with open(batch, "w", newline="") as f:
        if profile:
            f.write("@set USERPROFILE=%s\r\n" % profile)
        f.write("@set TEMP=%s\r\n@set TMP=%s\r\n@\"%s\"\r\n"
                % (windows_temp, windows_temp, windows_path(inst.exe)))
    env = dict(os.environ, WINEDEBUG="-all")
    env.pop("DISPLAY", None)
    completed = subprocess.run(
        [harness._args.emulator, "cmd", "/c", windows_path(batch)], input=keys.encode(),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=inst.folder, env=env, timeout=120)
    return harness.Result(completed.stdout.decode("utf-8", "replace").replace("\r\n", "\n"),
                          completed.stderr.decode("utf-8", "replace").replace("\r\n", "\n"),
                          completed.returncode)


def windows_clean(name):
    inst = harness.Installation(name)
    drive_c = os.path.join(wine_prefix(), "drive_c")
    check(os.path.isdir(drive_c), "the Wine prefix exists at " + drive_c)
    fixture_name = "quorvex-e2e-%s-%d" % (name, os.getpid())
    fixture = os.path.join(drive_c, fixture_name)
    shutil.rmtree(fixture, ignore_errors=True)
    try:
        temp = os.path.join(fixture, "temp")
        os.makedirs(os.path.join(temp, "tree", "inner"))
        os.makedirs(os.path.join(fixture, "outside", "inner"))
        for relative in ("temp/a.txt", "temp/tree/b.txt", "temp/tree/inner/c.txt",
                         "outside/keep.txt", "outside/inner/deep.txt"):
            with open(os.path.join(fixture, relative), "w") as f:
                f.write(relative)
        # Under Wine a Linux symbolic link looks like a folder with the reparse-point attribute.
        os.symlink(os.path.join(fixture, "outside"), os.path.join(temp, "link-outside"))
        os.symlink(os.path.join(fixture, "outside"), os.path.join(temp, "tree", "nested-link"))
        # The prefix's own C:\windows\Temp (and C:\Temp, C:\windows\Prefetch if present) are
        # cleaned too; count what they hold now.
        others = 0
        for folder in ("windows/temp", "temp", "windows/prefetch"):
            path = os.path.join(drive_c, folder)
            if os.path.isdir(path):
                others += len(os.listdir(path))
        result = run_with_windows_temp(inst, "C:\\%s\\temp" % fixture_name, "2\n\n5\n")
        check_equal(result.returncode, 0, "exit status", result)
        output = action_output(result)
        # Wine opens the target of a Linux symbolic link even when asked for the link itself, so
        # the clean-up cannot delete such a link as a link there: it must leave it, counted as
        # skipped, and never delete through it.
        left = sorted(os.listdir(temp))
        check(set(left) <= {"link-outside", "tree"}, "only link-holding entries may stay", result)
        if "tree" in left:
            check_lines(os.listdir(os.path.join(temp, "tree")), ["nested-link"],
                        "all but the link is deleted inside a folder that stays", result)
        summary = "[INFO] Cleaning complete. Removed %d items." % (3 + others - len(left))
        if left:
            summary += " Skipped %d items that could not be deleted." % len(left)
        check(output.endswith("\n" + summary + "\n"), "summary line: " + summary, result)
        check(os.path.exists(os.path.join(fixture, "outside", "inner", "deep.txt")),
              "the link's target keeps its contents", result)
        check(os.path.exists(os.path.join(fixture, "outside", "keep.txt")),
              "the link's target survives", result)
        log = log_messages(inst)
        # Whether Wine's dism.exe stand-in succeeds is Wine's business; console and log must agree.
        if BLANK + "[SUCCESS] Component Store cleanup completed.\n" in output:
            outcome = "WinSxS cleanup successful"
        else:
            check(BLANK + "[WARN] Component Store cleanup failed or requires admin rights.\n"
                  in output, "component store outcome line", result)
            outcome = "[WARN] WinSxS cleanup failed - may need admin privileges"
        check_lines(log[-5:-3], ["Starting WinSxS cleanup via DISM", outcome],
                    "component store log lines", result)
        check_lines(log[-3:-1], ["Flushing DNS cache", "DNS cache flushed"], "DNS log lines",
                    result)
    finally:
        shutil.rmtree(fixture, ignore_errors=True)


def windows_refuses_unsafe_temp():
    """TEMP and TMP naming a drive root, the profile folder or one above it, or the program's own
    folder: that folder is passed over and keeps everything in it. The drive is a fixture folder
    mapped as Q: in the throw-away prefix, so a fault could only empty the fixture."""
    inst = harness.Installation("clean_windows_unsafe_temp")
    drive = inst.path("drive")
    kept = ["top.txt", "home/old.txt", "home/alice/document.txt"]
    for relative in kept:
        inst.write(os.path.join("drive", relative), relative)
    mapping = os.path.join(wine_prefix(), "dosdevices", "q:")
    check(not os.path.lexists(mapping), "drive Q: is free in the prefix")
    os.symlink(drive, mapping)
    try:
        cases = [
            ("Q:\\", None, "a drive root"),
            ("q:/", None, "a drive root with a forward slash"),
            ("Q:\\home\\alice", "Q:\\home\\alice", "the profile folder"),
            ("q:\\HOME\\Alice.", "Q:\\home\\alice", "the profile folder spelled otherwise"),
            ("Q:\\home", "Q:\\home\\alice", "the folder above the profile"),
            (windows_path(inst.folder), None, "the program's folder"),
        ]
        for temp, profile, why in cases:
            result = run_with_windows_temp(inst, temp, "2\n\n5\n", profile)
            check_equal(result.returncode, 0, "exit status for " + why, result)
            check("[INFO] Cleaning complete. Removed " in action_output(result),
                  "the clean-up ran for " + why, result)
            for relative in kept:
                check(os.path.exists(os.path.join(drive, relative)),
                      "%s survives TEMP naming %s" % (relative, why), result)
            check(os.path.exists(inst.exe), "the program survives " + why, result)
    finally:
        os.remove(mapping)


# --- Tests --------------------------------------------------------------------------------------

def test_clean_temp_and_cache():
    if harness.is_windows():
        windows_clean("clean_windows")
        windows_refuses_unsafe_temp()
        return
    if not linux_namespace_available():
        raise AssertionError("needs unshare --mount (root) and faketime to keep this machine safe")
    linux_clean("clean_ok", 0, LINUX_TEXTS["success"], LINUX_TEXTS["log_success"])
    # A failing package clean-up is reported and the rest of the clean-up carries on.
    linux_clean("clean_apt_fails", 100, LINUX_TEXTS["failure"], LINUX_TEXTS["log_failure"])
    linux_refuses_program_folder_as_tmpdir()
    linux_batch_clean()


def test_clean_memory():
    inst = harness.Installation("memory")
    result = inst.run("3\n\n5\n")
    check_equal(result.returncode, 0, "exit status", result)
    check_equal(action_output(result),
                "\n[INFO] Cleaning system memory caches and virtual memory...\n"
                "[INFO] Working set trimmed (system cache cleared).\n"
                "[INFO] Virtual memory reset.\n", "console output", result)
    check_lines(log_messages(inst)[-2:], ["Working set trimmed", "Virtual memory reset"],
                "log lines", result)
    check(result.stdout.count(MENU) == 2, "back at the menu after the prompt", result)


if __name__ == "__main__":
    harness.main([test_clean_temp_and_cache, test_clean_memory])
