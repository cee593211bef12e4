"""Custom and quick scans through the menu: report, log, hash cache and every post-scan action."""

import hashlib
import os
import random
import re
import struct
import time

import harness
from harness import MENU, check, check_equal

PROMPT = "Your choice (1-5): "
RETURN_WAIT = "\nPress Enter to return to menu..."
# The post-scan actions whose output stays on screen until Enter is pressed.
WAITING_ACTIONS = ("2", "3", "4")
ACTIONS = (
    "\nActions Available:\n"
    "1. View detailed log file\n"
    "2. Show all malicious files\n"
    "3. Show error files\n"
    "4. Export results to file\n"
    "5. Return to main menu\n" + PROMPT
)


def check_list(actual, expected, message, result=None):
    """Compares two lists of lines, showing a line diff when they differ."""
    check_equal("\n".join(actual), "\n".join(expected), message, result)


def program_path(path):
    """How the program spells a Linux path: Wine sees the Linux root as drive Z:."""
    if harness.is_windows():
        return "Z:" + path.replace("/", "\\")
    return path


def below(root, relative):
    """The path the walk produces for a file below the root."""
    separator = "\\" if harness.is_windows() else "/"
    return root + separator + relative.replace("/", separator)


class Fixture:
    """An installation with a tree of planted known-bad, suspicious, clean and skipped files."""

    def __init__(self, name):
        self.inst = harness.Installation(name)
        rng = random.Random(4)
        bad_one = b"dropper " + bytes(rng.randrange(256) for _ in range(5000))
        bad_two = b"worm " + bytes(rng.randrange(256) for _ in range(70000))
        packed = bytes(range(256)) * 300
        packed = bytes(rng.sample(packed, len(packed)))
        self.files = {
            "downloads/invoice.pdf.exe": bad_one,
            "deep/a/b/c/payload.bin": bad_two,
            "tools/packed.exe": packed,
            "tools/plain.exe": b"MZ" + b"\0" * 4000,
            "docs/photo.jpg": bytes(rng.randrange(256) for _ in range(3000)),
            "docs/.gitignore": b"*.o\n",
            "empty.dat": b"",
        }
        # Copies of the bad content where the walk must not look.
        skipped = {"docs/notes.txt": bad_one, "proj/.git/objects/ab/blob": bad_two,
                   "proj/node_modules/x/index.js": bad_one, "README.MD": bad_two}
        for relative, content in list(self.files.items()) + list(skipped.items()):
            self.inst.write("tree/" + relative, content, mode="wb")
        tree = self.inst.path("tree")
        # A folder link that loops back and one that leads outside: neither may be entered.
        self.inst.write("outside/elsewhere.bin", bad_one, mode="wb")
        os.symlink(tree, os.path.join(tree, "deep", "loop"))
        os.symlink(self.inst.path("outside"), os.path.join(tree, "outside_link"))
        # The digest of empty input is listed too: an empty file is still never a finding.
        self.inst.write("hashes.txt", "".join(
            hashlib.sha256(content).hexdigest() + "\n" for content in (bad_one, bad_two, b"")))
        self.root = program_path(tree)
        self.malicious = sorted(below(self.root, r) for r in
                                ("downloads/invoice.pdf.exe", "deep/a/b/c/payload.bin"))
        self.suspicious = below(self.root, "tools/packed.exe")
        self.scanned = len(self.files)

    def scan(self, action, heuristics=1, extra_env=None):
        wait = "\n" if action in WAITING_ACTIONS else ""
        keys = "1\n3\n%d\n0\n%s\n%s\n%s5\n" % (heuristics, self.root, action, wait)
        result = self.inst.run(keys, extra_env=extra_env)
        check_equal(result.returncode, 0, "exit status", result)
        check(PROMPT in result.stdout, "the post-scan menu is shown", result)
        return result

    def after_prompt(self, result, waits=False):
        """What the chosen action printed, up to the return wait (when it has one) and the
        redrawn main menu."""
        tail = result.stdout.split(PROMPT, 1)[1]
        ending = (RETURN_WAIT if waits else "") + MENU
        check(tail.endswith(ending), "the return wait (%s), then the main menu" % waits, result)
        return tail[:-len(ending)]


def report_block(result):
    match = re.search(r"\n---------------- SCAN REPORT ----------------\n(.*?)\n-{45}\n",
                      result.stdout, re.S)
    check(match is not None, "a report is printed", result)
    return match.group(1)


def test_custom_scan_report_log_and_cache():
    fx = Fixture("custom")
    result = fx.scan("5")
    check("[DONE] Scan completed successfully.\n" in result.stdout, "closing progress line",
          result)
    check("[INFO] Hash cache saved. Cache hits: 0\n" in result.stdout, "cache line", result)
    lines = report_block(result).split("\n")
    check_equal(lines[0], "Path(s): %s; " % fx.root, "roots line", result)
    check(re.fullmatch(r"Time: \d+ seconds", lines[1]) is not None, "time line", result)
    check_list(lines[2:8], [
        "Total Data: 0 MB",
        "Files Scanned: %d" % fx.scanned,
        "Malicious Found: 2",
        "Suspicious (Heuristic): 1",
        "Errors: 0",
        "",
    ], "count lines", result)
    check_equal(lines[8], "[!] MALICIOUS FILES DETECTED:", "malicious heading", result)
    check_list(sorted(lines[9:11]), [" -> " + p for p in fx.malicious], "malicious list", result)
    check_list(lines[11:14], ["", "[?] SUSPICIOUS FILES (High Entropy):",
                               " -> %s (Entropy: 8.00)" % fx.suspicious], "suspicious list",
                result)
    check_equal(len(lines), 14, "nothing else in the report", result)
    check_equal(fx.after_prompt(result), "", "answer 5 prints nothing", result)

    log = fx.inst.read("scan_log.txt")
    stamp = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} "
    for path in fx.malicious:
        check(re.search("^" + stamp + re.escape("[MALICIOUS] " + path) + "$", log, re.M),
              "log names " + path + ":\n" + log)
    check(re.search("^" + stamp + re.escape("[SUSPICIOUS-ENTROPY] " + fx.suspicious) +
                    r" E:8\.000000$", log, re.M), "log names the suspicious file:\n" + log)
    check(re.search("^" + stamp + "Scan Finished. Files: %d$" % fx.scanned, log, re.M),
          "log ends the scan:\n" + log)

    with open(fx.inst.path("hash_cache.bin"), "rb") as cache:
        count, = struct.unpack("<Q", cache.read(8))
    check_equal(count, fx.scanned, "one cache entry per hashed file")

    again = fx.scan("5")
    check("[INFO] Hash cache saved. Cache hits: %d\n" % fx.scanned in again.stdout,
          "the second scan takes every hash from the cache", again)
    # The same findings; list order follows the workers' timing, so lines are compared sorted.
    def findings(block):
        return "\n".join(sorted(l for l in block.split("\n") if not l.startswith("Time: ")))
    check_equal(findings(report_block(again)), findings(report_block(result)),
                "same findings again", again)


def test_terminal_shows_report_colours():
    if harness.is_windows():
        raise harness.Skip("the terminal test runs on the native build")
    fx = Fixture("tty")
    keys = "1\n3\n1\n0\n%s\n2\n\n5\n" % fx.root
    screen = harness.run_in_terminal(fx.inst, keys)
    expected = [
        "\x1b[36m[|]\x1b[0m Scanned: ",                       # the progress line, if drawn
        "\x1b[92m[DONE] Scan completed successfully.\r\n\x1b[0m",
        "\x1b[96m\r\n---------------- SCAN REPORT ----------------\r\n\x1b[0m",
        "\x1b[91mMalicious Found: 2\r\n\x1b[0m",
        "\x1b[93mSuspicious (Heuristic): 1\r\n\x1b[0m",
        "Errors: 0\r\n",
        "\x1b[91m\r\n[!] MALICIOUS FILES DETECTED:\r\n\x1b[0m",
        "\x1b[93m\r\n[?] SUSPICIOUS FILES (High Entropy):\r\n\x1b[0m",
        "\x1b[93mActions Available:\r\n\x1b[0m",
        "\x1b[91m\r\nMALICIOUS FILES DETECTED (2 total):\r\n\x1b[0m",
        "\r\nPress Enter to return to menu...",
        "\x1b[H\x1b[2J",  # the main menu clears the screen only after Enter
    ]
    # A scan this small may end before the first redraw of the progress line.
    if expected[0] not in screen:
        expected = expected[1:]
    for piece in expected:
        check(piece in screen, "coloured piece %r on the screen:\n%r" % (piece, screen))
    positions = [screen.rindex(piece) if piece.startswith("\x1b[H") else screen.index(piece)
                 for piece in expected]
    check(positions == sorted(positions), "pieces in order:\n%r" % screen)


def test_post_scan_lists():
    fx = Fixture("lists")
    tail = fx.after_prompt(fx.scan("2"), waits=True)
    lines = tail.split("\n")
    check_list(lines[:2], ["", "MALICIOUS FILES DETECTED (2 total):"], "malicious heading")
    check_list(sorted(line[3:] for line in lines[2:4]), fx.malicious, "numbered entries")
    check_list(sorted(line[:3] for line in lines[2:4]), ["1. ", "2. "], "numbering")
    check_list(lines[4:], ["", "RECOMMENDATION: Quarantine or delete these files immediately!",
                            ""], "recommendation")

    tail = fx.after_prompt(fx.scan("3"), waits=True)
    check_equal(tail, "\nNo errors occurred during scanning.\n", "no error list")

    # Heuristics off: the packed file is not suspicious, and nothing else changes.
    result = fx.scan("x y\n", heuristics=0)
    check("Suspicious (Heuristic): 0\n" in result.stdout, "no heuristics, no suspicious", result)
    check_equal(fx.after_prompt(result), "", "an answer that is not a number prints nothing",
                result)
    check_equal(result.stdout.split(PROMPT, 1)[1].count(MENU), 1,
                "the rest of that line is dropped: one menu, then 5 exits", result)


def test_unreadable_file_and_folder_are_listed_with_the_errors():
    inst = harness.Installation("unreadable")
    inst.write("tree/fine.bin", "fine")
    locked = inst.write("tree/locked.bin", "secret")
    os.chmod(locked, 0)
    inst.write("tree/closed/hidden.bin", "hidden")
    closed = inst.path("tree", "closed")
    os.chmod(closed, 0)
    # The first line answers the warning that the program does not run as root.
    keys = "\n1\n3\n0\n0\n%s\n3\n\n5\n" % inst.path("tree")
    try:
        result = inst.run(keys, as_nobody=True)
    finally:
        os.chmod(closed, 0o755)
    check_equal(result.returncode, 0, "exit status", result)
    check("Files Scanned: 1\n" in result.stdout, "the readable file", result)
    check("Errors: 2\n" in result.stdout, "the file and the folder count as errors", result)
    tail = result.stdout.split(PROMPT, 1)[1][:-len(RETURN_WAIT + MENU)]
    lines = tail.split("\n")
    check_equal(lines[:2], ["", "FILES WITH ERRORS (2 total):"], "error heading", result)
    check_equal(sorted(line[3:] for line in lines[2:4]), sorted([closed, locked]),
                "the folder and the file", result)
    check_equal("\n".join(lines[4:]), "\nNote: These files could not be scanned (access "
                "denied, corrupted, etc.)\n", "note", result)
    log = inst.read("scan_log.txt")
    check("[ERROR] Could not scan %s: cannot open: Permission denied\n" % locked in log,
          "the file's log line:\n" + log)
    check(re.search(r"\[ERROR\] Directory iteration failed: .*Permission denied.*%s"
                    % re.escape(closed), log), "the folder's log line:\n" + log)


def test_file_names_cannot_write_to_the_terminal_or_forge_log_lines():
    if harness.is_windows():
        raise harness.Skip("Windows file names cannot hold control characters")
    fx = Fixture("hostile_names")
    content = fx.files["downloads/invoice.pdf.exe"]
    names = {"evil\n2026-12-10 11:00:00 Scan Finished. Files: 0.bin":
             "evil\\x0a2026-12-10 11:00:00 Scan Finished. Files: 0.bin",
             "\x1b]2;owned\x07\x1b[31mred.bin": "\\x1b]2;owned\\x07\\x1b[31mred.bin"}
    for name in names:
        fx.inst.write("tree/hostile/" + name, content, mode="wb")
    root = below(fx.root, "hostile")
    shown = sorted(below(root, "") + escaped for escaped in names.values())
    for action in ("2", "4"):
        keys = "1\n3\n0\n0\n%s\n%s\n\n5\n" % (root, action)
        result = fx.inst.run(keys)
        check_equal(result.returncode, 0, "exit status", result)
        check("\x1b" not in result.stdout and "\x07" not in result.stdout,
              "no control character from a name reaches the screen", result)
        tail = result.stdout.split(PROMPT, 1)[1]
        if action == "2":
            listed = sorted(line[3:] for line in tail.split("\n")[2:4])
            check_equal(listed, shown, "the list shows the names escaped", result)
        else:
            name = re.search(r"Report exported to: (scan_results_\d+\.txt)", tail).group(1)
            text = fx.inst.read(name)
            for path in shown:
                check("- %s\n" % path in text, "the export names %s:\n%s" % (path, text))
            check("\x1b" not in text, "no escape character in the export")
    log = fx.inst.read("scan_log.txt")
    check("\x1b" not in log and "\x07" not in log, "no control character in the log")
    for line in log.split("\n"):
        check(line == "" or re.match(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} ", line),
              "every log line starts with its time stamp: %r" % line)
    forged = [line for line in log.split("\n") if "Scan Finished. Files: 0" in line]
    check_equal(len(forged), 2, "the forged text once per menu scan")
    check(all("[MALICIOUS] " in line for line in forged),
          "the forged text stays inside its finding's line: %r" % forged)
    for path in shown:
        check("[MALICIOUS] %s\n" % path in log, "the log names " + path)

    # The batch output escapes them the same way, and JSON keeps the exact names.
    result = fx.inst.run(None, args=("scan", root))
    check_equal(sorted(l for l in result.stdout.split("\n") if l.endswith(": MALICIOUS")),
                [p + ": MALICIOUS" for p in shown], "plain lines escaped", result)
    result = fx.inst.run(None, args=("scan", "--json", root))
    import json
    paths = sorted(json.loads(l)["path"] for l in result.stdout.split("\n")
                   if l.startswith('{"type":"finding"'))
    check_equal(paths, sorted(below(root, "") + n for n in names), "JSON keeps the names",
                result)


def test_export_file_content():
    fx = Fixture("export")
    before = int(time.time())
    result = fx.scan("4")
    after = int(time.time())
    tail = fx.after_prompt(result, waits=True)
    match = re.fullmatch(r"\nReport exported to: (scan_results_(\d+)\.txt)\n", tail)
    check(match is not None, "export confirmation", result)
    check(before <= int(match.group(2)) <= after, "file named by the time", result)
    exported = [n for n in os.listdir(fx.inst.folder) if n.startswith("scan_results_")]
    check_equal(exported, [match.group(1)], "exactly one file, no temporary left", result)
    with open(fx.inst.path(match.group(1)), "rb") as f:
        raw = f.read().decode()
    if harness.is_windows():
        check(raw.count("\r\n") == raw.count("\n"), "text mode: CR LF line ends")
    else:
        check("\r" not in raw, "plain line feeds")
    text = raw.replace("\r\n", "\n")
    lines = text.split("\n")
    check(re.fullmatch(r"Generated: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}", lines[1]),
          "generated line: " + lines[1])
    duration = re.search(r"\nDuration: (\d+) seconds\n", text)
    check(duration is not None, "duration line:\n" + text)
    expected_head = (
        "QUORVEX ANTIVIRUS SCAN REPORT\n%s\n\n"
        "Scan Path: %s; \n"
        "Total Files: %d\n"
        "Total Size: 0 MB\n"
        "Malicious Files: 2\n"
        "Errors: 0\n"
        "Duration: %s seconds\n\n"
        "MALICIOUS FILES:\n" % (lines[1], fx.root, fx.scanned, duration.group(1)))
    check(text.startswith(expected_head), "export head:\n" + text)
    body = text[len(expected_head):]
    check(body.endswith("\n\n"), "a blank line closes the list:\n" + text)
    check_list(sorted(body.rstrip("\n").split("\n")), ["- " + p for p in fx.malicious],
                "listed files")


def test_view_log_runs_the_viewer():
    if harness.is_windows():
        raise harness.Skip("the Windows viewer is a window")
    fx = Fixture("viewer")
    tail = fx.after_prompt(fx.scan("1", extra_env={"VISUAL": "cat"}))
    check(tail.startswith("\nOpening scan log file...\n"), "opening line:\n" + tail)
    check("[MALICIOUS] " + fx.malicious[0] in tail, "the viewer showed the log:\n" + tail)


def test_special_files_and_kernel_views_finish_at_once():
    inst = harness.Installation("special")
    inst.write("tree/real.bin", "data")
    os.mkfifo(inst.path("tree", "pipe.exe"))  # never opened: a read would wait for a writer
    roots = [(program_path(inst.path("tree")), 1)]
    if not harness.is_windows():
        roots += [("/proc", 0), ("/sys", 0)]
    for root, expected in roots:
        started = time.time()
        result = inst.run("1\n3\n1\n0\n%s\n5\n5\n" % root, timeout=60)
        check_equal(result.returncode, 0, "exit status for " + root, result)
        check("Files Scanned: %d\n" % expected in result.stdout, "files of " + root, result)
        check("Errors: 0\n" in result.stdout, "no errors for " + root, result)
        check(time.time() - started < 30, root + " must not keep the scan busy", result)


def test_many_sparse_folders_within_a_small_descriptor_limit():
    """Queued files keep their open folder for a cheap status query: on a tree of many folders
    holding one file each, the folders held that way must stay few, or the walk runs out of
    descriptors and passes folders over."""
    if harness.is_windows():
        raise harness.Skip("the descriptor limit is set the Linux way")
    inst = harness.Installation("sparse")
    for top in range(20):
        for leaf in range(20):
            inst.write("tree/t%02d/l%02d/f.bin" % (top, leaf), "%d-%d" % (top, leaf))
    inst.write("hashes.txt", hashlib.sha256(b"7-7").hexdigest() + "\n")
    keys = "1\n3\n0\n0\n%s\n5\n5\n" % inst.path("tree")
    for run, hits in (("first", "0"), ("cached", "400")):
        result = inst.run(keys, open_files=100)
        check_equal(result.returncode, 0, run + " scan exit status", result)
        check("Files Scanned: 400\n" in result.stdout, run + " scan counts every file", result)
        check("Malicious Found: 1\n" in result.stdout, run + " scan finds the planted file", result)
        check("Cache hits: %s\n" % hits in result.stdout, run + " scan cache hits", result)
        log = inst.read("scan_log.txt")
        check("Directory iteration failed" not in log, run + " scan lists every folder:\n" + log)


def test_quick_scan_covers_the_profile_folders():
    if harness.is_windows():
        raise harness.Skip("Wine sets the profile folder itself")
    fx = Fixture("quick")
    home = fx.inst.path("home")
    for relative in ("Desktop/a.exe", "Downloads/b.exe", ".config/autostart/c.exe"):
        fx.inst.write("home/" + relative, "x" * 10)
    with open(fx.inst.path("home/Downloads/bad.bin"), "wb") as f:
        with open(fx.inst.path("tree/deep/a/b/c/payload.bin"), "rb") as bad:
            f.write(bad.read())
    result = fx.inst.run("1\n1\n0\n0\n5\n5\n", extra_env={"HOME": home})
    roots = "; ".join(home + s for s in ("/Desktop", "/Downloads", "/.config/autostart")) + "; "
    check("Path(s): %s\n" % roots in result.stdout, "the three profile folders", result)
    check("Files Scanned: 4\n" in result.stdout, "their files", result)
    check(" -> %s/Downloads/bad.bin\n" % home in result.stdout, "the planted file", result)


if __name__ == "__main__":
    harness.main([
        test_custom_scan_report_log_and_cache,
        test_terminal_shows_report_colours,
        test_post_scan_lists,
        test_unreadable_file_and_folder_are_listed_with_the_errors,
        test_file_names_cannot_write_to_the_terminal_or_forge_log_lines,
        test_export_file_content,
        test_view_log_runs_the_viewer,
        test_special_files_and_kernel_views_finish_at_once,
        test_quick_scan_covers_the_profile_folders,
        test_many_sparse_folders_within_a_small_descriptor_limit,
    ])
