"""Start-ups with planted autostart entries that name listed files show the alerts.

Linux: the program runs in a private mount namespace where fixture trees are bind-mounted over
/etc, /run, /var/spool, /usr/lib/systemd and /usr/local/lib, and HOME names a fixture folder, so
every place the check reads holds only what the test planted: one program of each kind of
location. The counts per kind prove that nothing else was read. Without mount namespaces the test
fails rather than run against this machine.
Under Wine the entry is a value in the throw-away prefix's HKCU Run key, removed again afterwards.
"""

import hashlib
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import check, check_equal  # noqa: E402

PAYLOAD = b"autostart payload for the end-to-end test\n"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
VALUE_NAME = "QuorvexE2EUpdater"

LINUX_HEADING = "[INFO] Checking Autostart Entries & Startup..."
LINUX_SUMMARY = "[INFO] Autostart Scan Complete. "
LINUX_TAG = "[MALICIOUS-AUTOSTART] "

# The system folders replaced inside the namespace, each by a fixture folder of the same layout.
# set -e: if any mount fails, the program never runs, so it can never read the real ones.
NAMESPACE_SCRIPT = r"""
set -eu
for target in /etc /run /var/spool /usr/lib/systemd /usr/local/lib; do
    # A folder this system lacks holds nothing to read.
    [ -e "$target" ] || continue
    mount --bind "$ROOT$target" "$target"
    mountpoint -q "$target"
done
# QUORVEX_ARGS: a batch command, split into words on purpose.
HOME="$ROOT/home" PATH="$ROOT/bin" exec "$EXE" $QUORVEX_ARGS
"""


def reg(*args):
    return subprocess.run([harness._args.emulator, "reg"] + list(args), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60,
                          env=dict(os.environ, WINEDEBUG="-all")).returncode


def windows_planted_entry():
    inst = harness.Installation("autostart_alert")
    inst.write("hashes.txt", hashlib.sha256(PAYLOAD).hexdigest() + "\n")
    inst.write("payload/evil tool.exe", PAYLOAD, mode="wb")
    program = inst.path("payload", "evil tool.exe")
    native = "Z:" + program.replace("/", "\\")
    check(reg("add", RUN_KEY, "/v", VALUE_NAME, "/t", "REG_SZ", "/d",
              '"%s" --hidden' % native, "/f") == 0, "reg add")
    try:
        result = inst.run("5\n")
        batch = inst.run(None, args=("autostart",))
        batch_json = inst.run(None, args=("autostart", "--json"))
    finally:
        reg("delete", RUN_KEY, "/v", VALUE_NAME, "/f")
    check_equal(batch.returncode, 1, "the batch check finds the entry: exit 1", batch)
    check("%s: MALICIOUS (HKCU Run -> %s)\n" % (native, VALUE_NAME) in batch.stdout,
          "the batch line", batch)
    entries = [json.loads(l) for l in batch_json.stdout.splitlines() if l]
    hits = [e for e in entries if e.get("verdict") == "malicious"]
    check_equal([(h["kind"], h["program"], h["sha256"]) for h in hits],
                [("registry", native, hashlib.sha256(PAYLOAD).hexdigest())], "the JSON entry",
                batch_json)
    heading = "[INFO] Checking Registry Autoruns & Startup..."
    summary = "[INFO] Registry Scan Complete. "
    check(result.returncode == 0, "exit code", result)
    out = result.stdout
    alert = "[ALERT] Malicious Startup Found: HKCU Run -> %s\n        Path: %s\n" % (VALUE_NAME,
                                                                                 native)
    check("\n" + heading + "\n" in out, "heading", result)
    check(alert in out, "alert and path lines", result)
    check(out.index(heading) < out.index(alert) < out.index(summary) < out.index("Selection: "),
          "heading, alert, summary, then the menu", result)
    summary_line = out[out.index(summary):].split("\n")[0]
    # The prefix's own entries are read too, so only the hit count is fixed.
    check(summary_line.endswith(" entries checked. 1 malicious detected."), summary_line, result)
    log = inst.read("scan_log.txt")
    check("[MALICIOUS-REG] HKCU Run %s -> %s\n" % (VALUE_NAME, native) in log, "log line", result)


class Tree:
    """The fixture: `root` stands for / inside the namespace, `payload` holds the programs."""

    def __init__(self, inst):
        self.inst = inst
        self.root = inst.path("root")
        self.payload = inst.path("payload")
        for target in ("etc", "run", "var/spool", "usr/lib/systemd", "usr/local/lib", "bin",
                       "home"):
            os.makedirs(os.path.join(self.root, target), exist_ok=True)

    def write(self, path, text, executable=False):
        """Writes `path`, which is absolute as seen inside the namespace."""
        full = self.root + path
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
        if executable:
            os.chmod(full, 0o755)

    def link(self, target, path):
        full = self.root + path
        os.makedirs(os.path.dirname(full), exist_ok=True)
        os.symlink(target, full)

    def program(self, name, content=PAYLOAD):
        """The path of a program in the payload folder, written on first use."""
        path = os.path.join(self.payload, name)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, 0o755)
        return path


def plant(tree):
    """One planted entry of each kind; returns the alerts they must give, in checking order."""
    p = tree.program
    home = tree.root + "/home"
    alerts = []

    tree.write("/home/.config/autostart/updater.desktop",
               '[Desktop Entry]\nType=Application\nExec="%s" --hidden %%U\n' % p("evil tool.exe"))
    harmless = p("harmless", b"harmless\n")
    tree.write("/home/.config/autostart/other.desktop", "[Desktop Entry]\nExec=%s\n" % harmless)
    alerts.append(("XDG user", "updater.desktop", p("evil tool.exe")))
    tree.write("/etc/xdg/autostart/tray.desktop", "[Desktop Entry]\nExec=%s\n" % p("xdg-bad"))
    alerts.append(("XDG system", "tray.desktop", p("xdg-bad")))

    # A user unit enabled by a link, using %h; placed directly too, it is listed once.
    tree.write("/home/.config/systemd/user/agent.service", "[Service]\nExecStart=%h/agent-bad\n")
    tree.link("../agent.service", "/home/.config/systemd/user/default.target.wants/agent.service")
    tree.write("/home/.config/systemd/user/gone.service", "[Service]\nExecStart=-/nowhere/x\n")
    with open(os.path.join(home, "agent-bad"), "wb") as f:
        f.write(PAYLOAD)
    alerts.append(("systemd user", "default.target.wants/agent.service", home + "/agent-bad"))

    # System units in the vendor folder, enabled by links in /etc/systemd/system.
    vendor = "/usr/lib/systemd/system/"
    wants = "/etc/systemd/system/multi-user.target.wants/"
    tree.write(vendor + "planted@.service",
               "[Service]\nExecStart=%s\n" % os.path.join(tree.payload, "tmpl-%i"))
    tree.link("/lib/systemd/system/planted@.service",
              "/etc/systemd/system/getty.target.wants/planted@one.service")
    alerts.append(("systemd system", "getty.target.wants/planted@one.service", p("tmpl-one")))
    tree.write(vendor + "dropped.service", "[Service]\nExecStart=%s\n" % harmless)
    tree.write("/etc/systemd/system/dropped.service.d/override.conf",
               "[Service]\nExecStart=\nExecStart=%s\n" % p("dropin-bad"))
    tree.link("/lib/systemd/system/dropped.service", wants + "dropped.service")
    alerts.append(("systemd system", "multi-user.target.wants/dropped.service", p("dropin-bad")))
    tree.link("loop.service", wants + "loop.service")
    tree.write(vendor + "planted.service", "[Service]\nExecStart=-%s --daemon\n" % p("unit-bad"))
    tree.link("/usr/lib/systemd/system/planted.service", wants + "planted.service")
    alerts.append(("systemd system", "multi-user.target.wants/planted.service", p("unit-bad")))
    tree.write(vendor + "nightly.timer", "[Timer]\nOnCalendar=daily\n")
    tree.write(vendor + "nightly.service", "[Service]\nExecStart=%s\n" % p("timer-bad"))
    tree.link("/lib/systemd/system/nightly.timer",
              "/etc/systemd/system/timers.target.wants/nightly.timer")
    alerts.append(("systemd system", "timers.target.wants/nightly.timer (nightly.service)",
                   p("timer-bad")))

    tree.write("/etc/crontab", "SHELL=/bin/sh\nPATH=%s\n17 * * * * root cd / && crontab-bad\n"
               % tree.payload)
    alerts.append(("cron", "crontab", p("crontab-bad")))
    tree.write("/etc/cron.d/job", "PATH=%s/crond\n*/5 * * * * daemon crond-bad -q\n" % tree.payload)
    alerts.append(("cron", "cron.d/job", p("crond/crond-bad")))
    tree.write("/var/spool/cron/crontabs/root", "@reboot %s\n" % p("reboot-bad"))
    alerts.append(("cron", "crontabs/root", p("reboot-bad")))
    tree.write("/etc/cron.daily/daily-bad", PAYLOAD.decode(), executable=True)
    alerts.append(("cron", "cron.daily/daily-bad", "/etc/cron.daily/daily-bad"))

    tree.write("/etc/rc.local", PAYLOAD.decode(), executable=True)
    alerts.append(("rc", "rc.local", "/etc/rc.local"))
    tree.write("/etc/init.d/svc-bad", PAYLOAD.decode(), executable=True)
    tree.link("../init.d/svc-bad", "/etc/rc2.d/S01svc")
    alerts.append(("rc", "rc2.d/S01svc", "/etc/init.d/svc-bad"))

    tree.write("/etc/ld.so.preload", "%s %s/missing.so\n" % (p("preload-bad.so"), tree.payload))
    alerts.append(("preload", "ld.so.preload", p("preload-bad.so")))
    return alerts


def linux_namespace_available():
    probe = subprocess.run(["unshare", "--mount", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def linux_planted_entries():
    if not linux_namespace_available():
        raise AssertionError("needs unshare --mount (root) to keep this machine's autostart "
                             "places out of reach")
    inst = harness.Installation("autostart_every_kind")
    inst.write("hashes.txt", hashlib.sha256(PAYLOAD).hexdigest() + "\n")
    tree = Tree(inst)
    alerts = plant(tree)
    def run(keys, args=""):
        env = dict(os.environ, ROOT=tree.root, EXE=inst.exe, QUORVEX_ARGS=args)
        for name in ("XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME"):
            env.pop(name, None)
        completed = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE_SCRIPT],
            input=keys, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=inst.folder,
            env=env, timeout=120)
        return harness.Result(completed.stdout.decode("utf-8", "replace"),
                              completed.stderr.decode("utf-8", "replace"), completed.returncode)

    result = run(b"5\n")
    check_equal(result.returncode, 0, "exit status", result)

    out = result.stdout
    check(LINUX_HEADING in out and LINUX_SUMMARY in out, "heading and summary", result)
    start = out.index(LINUX_HEADING)
    end = out.index("\n", out.index(LINUX_SUMMARY)) + 1
    expected = LINUX_HEADING + "\n"
    for label, name, path in alerts:
        expected += "[ALERT] Malicious Startup Found: %s -> %s\n        Path: %s\n" % (label, name,
                                                                                    path)
    expected += ("[ERROR] systemd system -> multi-user.target.wants/loop.service: unit file "
                 "cannot be read: Too many levels of symbolic links\n")
    expected += ("[WARN] preload -> ld.so.preload: listed library not found: %s/missing.so\n"
                 % tree.payload)
    # The planted entries and the one harmless program: nothing else was read.
    expected += LINUX_SUMMARY + "%d entries checked. %d malicious detected.\n" % (
        len(alerts) + 1, len(alerts))
    check_equal(out[start:end], expected, "the check's lines", result)
    check(out.index(LINUX_SUMMARY) < out.index("Selection: "), "the menu comes after", result)

    log = [line[20:] for line in inst.read("scan_log.txt").splitlines()]
    for label, name, path in alerts:
        check("%s%s %s -> %s" % (LINUX_TAG, label, name, path) in log, "log line for " + name,
              result)
    check_equal(log[-1], "Autostart entries checked per kind: "
                         "xdg 3, systemd 5, cron 4, rc 2, preload 1", "counts per kind", result)

    # The batch command: the same entries, one line each, and exit 1; JSON names every entry.
    batch = run(b"", "autostart")
    check_equal(batch.returncode, 1, "known-bad entries: exit 1", batch)
    lines = sorted(l for l in batch.stdout.splitlines() if l.endswith(")"))
    check_equal(lines, sorted("%s: MALICIOUS (%s -> %s)" % (path, label, name)
                              for label, name, path in alerts), "the batch lines", batch)
    check("%d entries checked. %d malicious detected.\n" % (len(alerts) + 1, len(alerts))
          in batch.stdout, "the batch summary", batch)
    check("Too many levels of symbolic links" in batch.stderr, "the error on stderr", batch)
    entries = [json.loads(l) for l in run(b"", "autostart --json").stdout.splitlines() if l]
    found = sorted((e["program"], e["name"]) for e in entries
                   if e["type"] == "entry" and e["verdict"] == "malicious")
    check_equal(found, sorted((path, name) for _, name, path in alerts), "JSON entries", batch)
    for entry in (e for e in entries if e["type"] == "entry" and e["verdict"] == "malicious"):
        check_equal(entry["sha256"], hashlib.sha256(PAYLOAD).hexdigest(), "sha256", batch)
        check(entry["kind"] in ("xdg", "systemd", "cron", "rc", "preload") and entry["source"],
              "kind and source of %r" % entry, batch)
    check_equal(entries[-1], {"type": "summary", "schema": 1, "checked": len(alerts) + 1,
                              "malicious": len(alerts)}, "JSON summary", batch)

    # With a rule in the rules folder that matches the harmless program, it is known-bad too, and
    # says which rule (the Linux build matches rules); the listed ones keep their lines.
    inst.write("rules/marker.yar",
               'rule HarmlessMarker { strings: $m = "harmless" condition: $m }\n')
    harmless = tree.program("harmless")
    ruled = run(b"", "autostart")
    check_equal(ruled.returncode, 1, "exit status with a rule", ruled)
    check("%s: MALICIOUS (XDG user -> other.desktop) (rule HarmlessMarker)\n" % harmless
          in ruled.stdout, "the rule's line", ruled)
    check("%d entries checked. %d malicious detected.\n" % (len(alerts) + 1, len(alerts) + 1)
          in ruled.stdout, "the summary counts the rule's hit", ruled)
    entries = [json.loads(l) for l in run(b"", "autostart --json").stdout.splitlines() if l]
    ruled_entries = [e for e in entries if e["type"] == "entry" and "rules" in e]
    check_equal([(e["program"], e["verdict"], e["rules"]) for e in ruled_entries],
                [(harmless, "malicious", ["HarmlessMarker"])], "JSON rules", ruled)
    menu = run(b"5\n")
    check("[ALERT] Malicious Startup Found: XDG user -> other.desktop\n        Path: %s\n"
          "        Rules: HarmlessMarker\n" % harmless in menu.stdout, "the menu's alert", menu)


def test_planted_entries_naming_listed_files_are_reported():
    if harness.is_windows():
        windows_planted_entry()
    else:
        linux_planted_entries()


if __name__ == "__main__":
    harness.main([test_planted_entries_naming_listed_files_are_reported])
