"""The quarantine through the real executable: `scan --quarantine`, then `quarantine list`,
`restore` and `delete`; on one file system and (Linux, in a private mount namespace) across two;
odd names, a kill after every step of a move and of a restore, and the folder's access."""

import hashlib
import json
import os
import re
import stat
import subprocess
import sys

import harness
from harness import check, check_equal
from test_scan import below, program_path

BAD = b"dropper " + bytes(range(256)) * 40
OTHER_BAD = b"worm " + bytes(reversed(range(256))) * 30
# The status the test hook ends the program with (see app/batch_quarantine.cpp).
HOOK_EXIT = 86
HOOK_VARIABLE = "QUORVEX_TEST_HOOK_EXIT_AFTER_STEP"
# Set for the copy of this script that runs inside the private mount namespace.
INSIDE = "QUORVEX_E2E_QUARANTINE_NAMESPACE"


class Setup:
    """An installation whose database lists BAD and OTHER_BAD, with a tree to scan."""

    def __init__(self, name, tree=None):
        self.inst = harness.Installation(name)
        self.inst.write("hashes.txt", "".join(
            hashlib.sha256(c).hexdigest() + "\n" for c in (BAD, OTHER_BAD)))
        self.tree = tree or self.inst.path("tree")
        os.makedirs(self.tree, exist_ok=True)
        self.qdir = self.inst.path("q")

    def put(self, relative, content):
        """Writes a file below the tree; `relative` may be bytes (any name Linux allows)."""
        tree = os.fsencode(self.tree)
        path = os.path.join(tree, os.fsencode(relative))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def run(self, *args, extra_env=None):
        return self.inst.run(None, args=args, extra_env=extra_env)

    def scan(self, *args, extra_env=None):
        return self.run("scan", "--quarantine-dir", program_path(self.qdir), *args,
                        program_path(self.tree), extra_env=extra_env)

    def quarantine(self, *args, extra_env=None):
        return self.run("quarantine", *args, "--quarantine-dir", program_path(self.qdir),
                        extra_env=extra_env)

    def items(self):
        result = self.quarantine("list", "--json")
        check_equal(result.returncode, 0, "list exit status", result)
        return [json.loads(line) for line in result.stdout.splitlines() if line]

    def stored_names(self):
        return sorted(n for n in os.listdir(self.qdir) if n not in ("index.json", "index.lock"))


def native(path_text):
    """The Linux bytes of a path as the program prints it."""
    if harness.is_windows():
        return os.fsencode(path_text[2:].replace("\\", "/"))
    return path_text.encode("utf-8", "surrogateescape")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_one_place(setup, original, content, message):
    """The file is either still at `original` and not in quarantine, or in quarantine (its entry
    and its stored copy) and gone from `original`; never both, never neither. Returns which."""
    items = setup.items()
    stored = setup.stored_names()
    check(all(not n.endswith(".partial") for n in stored), message + ": no partial copy", stored)
    if os.path.lexists(original):
        check_equal(read(original), content, message + ": the original is whole")
        check_equal((items, stored), ([], []), message + ": and nothing in quarantine")
        return "original"
    check_equal(len(items), 1, message + ": the item is listed")
    check_equal(stored, [items[0]["id"]], message + ": its file is stored under its id")
    check_equal(read(os.path.join(setup.qdir, stored[0])), content, message + ": stored whole")
    check_equal(native(items[0]["original_path"]), original, message + ": its original path")
    return "quarantine"


def test_scan_moves_malicious_files_and_lists_them():
    setup = Setup("q_scan")
    bad = setup.put("downloads/invoice.pdf.exe", BAD)
    worm = setup.put("deep/a/payload.bin", OTHER_BAD)
    packed = bytes(range(256)) * 300
    packed = bytes(packed[i * 7919 % len(packed)] for i in range(len(packed)))
    suspicious = setup.put("tools/packed.exe", packed)
    clean = setup.put("docs/readme.txt", b"hello")
    root = program_path(setup.tree)

    result = setup.scan("--heuristics", "--quarantine")
    check_equal(result.returncode, 1, "found and quarantined: exit 1", result)
    lines = sorted(l for l in result.stdout.splitlines() if ": " in l and l.startswith(root))
    ids = {}
    for line in lines:
        match = re.fullmatch(r"(.*): MALICIOUS \(quarantined as ([0-9a-f]{8})\)", line)
        if match:
            ids[match.group(1)] = match.group(2)
    check_equal(sorted(ids), sorted([below(root, "deep/a/payload.bin"),
                                     below(root, "downloads/invoice.pdf.exe")]),
                "both malicious files quarantined", result)
    check(below(root, "tools/packed.exe") + ": SUSPICIOUS" in lines,
          "the suspicious file is only reported", result)
    check(not os.path.exists(bad) and not os.path.exists(worm), "moved away", result)
    check(os.path.exists(suspicious) and os.path.exists(clean), "the rest stays", result)
    check_equal(result.stderr, "", "nothing went wrong", result)

    items = setup.items()
    check_equal(sorted(i["id"] for i in items), sorted(ids.values()), "listed by id")
    for item in items:
        check_equal(list(item), ["id", "original_path", "size", "sha256", "reasons",
                                 "quarantined_at"], "the members of an item")
        content = BAD if item["original_path"].endswith(".exe") else OTHER_BAD
        check_equal((item["size"], item["sha256"], item["reasons"]),
                    (len(content), hashlib.sha256(content).hexdigest(), ["hash"]), "its record")
        check(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", item["quarantined_at"]),
              "a UTC time: %r" % item["quarantined_at"])
        check_equal(read(os.path.join(setup.qdir, item["id"])), content, "stored whole")
    plain = setup.quarantine("list")
    check_equal(plain.returncode, 0, "plain list", plain)
    for path, item_id in ids.items():
        check(re.search(r"^%s  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  \d+  hash  %s$" % (
            item_id, re.escape(path)), plain.stdout, re.M), "a line for " + item_id, plain)

    # A scan of the clean rest finds nothing more; --quarantine-suspicious takes the packed file.
    result = setup.scan("--heuristics", "--quarantine", "--quarantine-suspicious", "--json")
    check_equal(result.returncode, 1, "the suspicious file is a finding", result)
    findings = [json.loads(l) for l in result.stdout.splitlines() if '"finding"' in l]
    check_equal(len(findings), 1, "one finding left", result)
    check_equal((findings[0]["verdict"], findings[0]["quarantined"]), ("suspicious", True),
                "quarantined too", result)
    check(re.fullmatch("[0-9a-f]{8}", findings[0]["quarantine_id"]), "its id", result)
    check(not os.path.exists(suspicious), "moved away", result)
    check_equal(len(setup.items()), 3, "three items now")

    # Restore one to its place, one elsewhere; delete the last.
    bad_id = ids[below(root, "downloads/invoice.pdf.exe")]
    result = setup.quarantine("restore", bad_id)
    check_equal(result.returncode, 0, "restored", result)
    check_equal(read(bad), BAD, "back whole")
    result = setup.quarantine("restore", bad_id)
    check_equal(result.returncode, 2, "an item restored is gone", result)
    check("no item %s in quarantine" % bad_id in result.stderr, "says so", result)
    elsewhere = setup.inst.path("elsewhere.bin")
    result = setup.quarantine("restore", ids[below(root, "deep/a/payload.bin")], "--to",
                              program_path(elsewhere))
    check_equal(result.returncode, 0, "restored elsewhere", result)
    check_equal(read(elsewhere), OTHER_BAD, "the content elsewhere")
    check(not os.path.exists(worm), "not in its old place", result)
    result = setup.quarantine("delete", "--all")
    check_equal((result.returncode, result.stdout), (0, "Deleted 1 item for good.\n"),
                "delete --all", result)
    check_equal((setup.items(), setup.stored_names()), ([], []), "empty")


def test_restore_refuses_to_replace_a_file_without_force():
    setup = Setup("q_force")
    bad = setup.put("x/setup.exe", BAD)
    if not harness.is_windows():
        os.chmod(bad, 0o751)
        os.utime(bad, (1500000000, 1500000000))
    result = setup.scan("--quarantine")
    check_equal(result.returncode, 1, "quarantined", result)
    (item,) = setup.items()
    setup.put("x/setup.exe", b"a new file")
    result = setup.quarantine("restore", item["id"])
    check_equal(result.returncode, 2, "refused", result)
    check("--force" in result.stderr, "names the way out", result)
    check_equal(read(bad), b"a new file", "the new file is kept")
    result = setup.quarantine("restore", item["id"], "--force")
    check_equal(result.returncode, 0, "forced", result)
    check_equal(read(bad), BAD, "the quarantined file is back")
    if not harness.is_windows():
        info = os.stat(bad)
        check_equal((stat.S_IMODE(info.st_mode), info.st_mtime), (0o751, 1500000000),
                    "its mode and time are back")
    check_equal(setup.items(), [], "no longer listed")


def test_same_names_and_odd_names():
    setup = Setup("q_names")
    names = [b"a/setup.exe", b"b/setup.exe"]
    if harness.is_windows():
        names.append("odd/\u0442\u0435\u0441\u0442 \u20ac.exe".encode())  # Cyrillic, euro sign
    else:
        names.append(b"odd/bad\xff\xfe name \xe2\x82\xac.exe")
    paths = [setup.put(name, BAD) for name in names]
    result = setup.scan("--quarantine", "--json")
    check_equal(result.returncode, 1, "quarantined", result)
    result.raw_stdout.decode("utf-8")  # valid UTF-8 throughout
    findings = [json.loads(l) for l in result.stdout.splitlines() if '"finding"' in l]
    check_equal(sorted(native(f["path"]) for f in findings), sorted(paths), "every file found",
                result)
    check(all(f["quarantined"] for f in findings), "every one quarantined", result)
    items = setup.items()
    check_equal(sorted(native(i["original_path"]) for i in items), sorted(paths),
                "each recorded with its exact path")
    check_equal(len({i["id"] for i in items}), 3, "three items, three ids")
    check(not any(os.path.lexists(p) for p in paths), "all moved away", result)
    for item in items:
        result = setup.quarantine("restore", item["id"])
        check_equal(result.returncode, 0, "restored", result)
    for path in paths:
        check_equal(read(path), BAD, "back at its exact path: %r" % path)


def test_failed_quarantine_is_exit_2_and_said():
    setup = Setup("q_fail")
    bad = setup.put("x/setup.exe", BAD)
    # The folder cannot be made: a file is in its place.
    with open(setup.qdir, "w") as f:
        f.write("in the way")
    result = setup.scan("--quarantine")
    check_equal(result.returncode, 2, "asked for and not done: exit 2", result)
    line = [l for l in result.stdout.splitlines() if "MALICIOUS" in l]
    check_equal(len(line), 1, "one finding", result)
    check(line[0].startswith(below(program_path(setup.tree), "x/setup.exe") +
                             ": MALICIOUS (not quarantined: the quarantine folder "),
          "the finding and why it stayed", result)
    check(os.path.exists(bad), "left in place", result)
    result = setup.scan("--quarantine", "--json")
    finding = [json.loads(l) for l in result.stdout.splitlines() if '"finding"' in l][0]
    check_equal(finding["quarantined"], False, "not quarantined", result)
    check("cannot be used" in finding["quarantine_error"], "why", result)
    # Nothing to move, but the folder asked for cannot be used: said at once, and exit 2.
    os.remove(bad)
    result = setup.scan("--quarantine")
    check_equal(result.returncode, 2, "a clean tree and an unusable folder: exit 2", result)
    check("cannot be used" in result.stderr, "said on standard error", result)

    for args in (("scan", "--quarantine-suspicious", setup.tree), ("quarantine",),
                 ("quarantine", "delete"), ("quarantine", "restore"),
                 ("quarantine", "delete", "0000", "--all")):
        result = setup.run(*args)
        check_equal(result.returncode, 2, "usage error for %r" % (args,), result)
        check("Usage:" in result.stderr, "the usage for %r" % (args,), result)


def test_folder_is_for_its_owner_only():
    if harness.is_windows():
        raise harness.Skip("Wine keeps no access lists that a Linux test can read")
    setup = Setup("q_access")
    setup.put("x/setup.exe", BAD)
    setup.inst.run(None, args=("scan", "--quarantine", program_path(setup.tree)))
    folder = setup.inst.path("quarantine")  # the default: beside the executable
    check_equal(stat.S_IMODE(os.stat(folder).st_mode), 0o700, "the folder is owner-only")
    names = [n for n in os.listdir(folder) if n not in ("index.json", "index.lock")]
    check_equal(len(names), 1, "one item in the default folder", names)
    check_equal(stat.S_IMODE(os.stat(os.path.join(folder, names[0])).st_mode), 0o600,
                "the item can be neither run nor read by others")


def kill_at_every_step(setup, original, content, scan_args=()):
    """Ends the program after each durable step of one move, then of one restore; after each,
    the next command settles the file in exactly one place."""
    outcomes = set()
    for action in ("quarantine", "restore"):
        step = 1
        while True:
            message = "%s, killed after step %d" % (action, step)
            if action == "quarantine":
                check_equal(check_one_place(setup, original, content, "before"), "original",
                            "the file starts in its place")
                result = setup.scan("--quarantine", *scan_args, extra_env={HOOK_VARIABLE: str(step)})
            else:
                if check_one_place(setup, original, content, "before") == "original":
                    check_equal(setup.scan("--quarantine", *scan_args).returncode, 1, "moved")
                item_id = setup.items()[0]["id"]
                result = setup.quarantine("restore", item_id, extra_env={HOOK_VARIABLE: str(step)})
            if result.returncode != HOOK_EXIT:
                check(step > 3, "%s has several steps" % action, result)
                break
            place = check_one_place(setup, original, content, message)
            outcomes.add((action, place))
            if place == "quarantine":
                check_equal(setup.quarantine("restore", setup.items()[0]["id"]).returncode, 0,
                            message + ": restored afterwards")
            step += 1
    check_equal(sorted(outcomes), [("quarantine", "original"), ("quarantine", "quarantine"),
                                   ("restore", "original"), ("restore", "quarantine")],
                "each kind of interruption was met")


def test_kill_at_every_step_on_one_file_system():
    setup = Setup("q_kill")
    original = setup.put("x/setup.exe", BAD)
    kill_at_every_step(setup, original, BAD)


# Inside the namespace: a tmpfs over the tree, so the file and the quarantine folder are on two
# file systems. set -e: if the mount fails, the test never runs on the plain folder.
NAMESPACE_SCRIPT = r"""
set -eu
mount -t tmpfs quorvex-e2e "$TREE"
mountpoint -q "$TREE"
exec "$@"
"""


def test_across_file_systems():
    if harness.is_windows():
        raise harness.Skip("Wine sees one volume here")
    if os.environ.get(INSIDE):
        raise harness.Skip("already inside")
    tree = os.path.join(harness._args.work, "q_cross_tree")
    os.makedirs(tree, exist_ok=True)
    env = dict(os.environ, TREE=tree, **{INSIDE: tree})
    command = ["unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE_SCRIPT,
               "sh", sys.executable, os.path.abspath(__file__), "--exe", harness._args.exe,
               "--work", harness._args.work, "--only", "inside_namespace"]
    completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=env, timeout=500)
    output = completed.stdout.decode("utf-8", "replace")
    if completed.returncode != 0 and "unshare failed" in output:
        raise harness.Skip("no private mount namespace here: " + output.strip())
    check_equal(completed.returncode, 0, "the tests inside the namespace:\n" + output)
    check("PASS test_inside_namespace" in output, "they ran:\n" + output)


def test_inside_namespace():
    tree = os.environ.get(INSIDE)
    if not tree:
        raise harness.Skip("runs inside test_across_file_systems")
    check(os.stat(tree).st_dev != os.stat(harness._args.work).st_dev, "two file systems")
    setup = Setup("q_cross", tree=tree)
    original = setup.put("x/setup.exe", BAD)
    os.chmod(original, 0o750)
    result = setup.scan("--quarantine")
    check_equal(result.returncode, 1, "quarantined across file systems", result)
    check_equal(result.stderr, "", "nothing went wrong", result)
    (item,) = setup.items()
    stored = os.path.join(setup.qdir, item["id"])
    check_equal(read(stored), BAD, "copied whole")
    check_equal(stat.S_IMODE(os.stat(stored).st_mode), 0o600, "the copy is owner-only")
    check(not os.path.exists(original), "the original removed", result)
    result = setup.quarantine("restore", item["id"])
    check_equal(result.returncode, 0, "restored across file systems", result)
    check_equal((read(original), stat.S_IMODE(os.stat(original).st_mode)), (BAD, 0o750),
                "back with its mode")
    kill_at_every_step(setup, original, BAD)


if __name__ == "__main__":
    harness.main([
        test_scan_moves_malicious_files_and_lists_them,
        test_restore_refuses_to_replace_a_file_without_force,
        test_same_names_and_odd_names,
        test_failed_quarantine_is_exit_2_and_said,
        test_folder_is_for_its_owner_only,
        test_kill_at_every_step_on_one_file_system,
        test_across_file_systems,
        test_inside_namespace,
    ])
