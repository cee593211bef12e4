"""A start-up with a planted autostart entry that names a listed file shows the alert.

Linux: HOME, XDG_CONFIG_HOME and XDG_CONFIG_DIRS point at fixture folders. Under Wine the entry is
a value in the throw-away prefix's HKCU Run key, removed again afterwards.
"""

import hashlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import check  # noqa: E402

PAYLOAD = b"autostart payload for the end-to-end test\n"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
VALUE_NAME = "QuorvexE2EUpdater"


def reg(*args):
    return subprocess.run([harness._args.emulator, "reg"] + list(args), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60,
                          env=dict(os.environ, WINEDEBUG="-all")).returncode


def test_planted_entry_naming_a_listed_file_is_reported():
    inst = harness.Installation("autostart_alert")
    inst.write("hashes.txt", hashlib.sha256(PAYLOAD).hexdigest() + "\n")
    inst.write("payload/evil tool.exe", PAYLOAD, mode="wb")
    inst.write("payload/harmless.exe", b"harmless\n", mode="wb")
    program = inst.path("payload", "evil tool.exe")
    if harness.is_windows():
        native = "Z:" + program.replace("/", "\\")
        check(reg("add", RUN_KEY, "/v", VALUE_NAME, "/t", "REG_SZ", "/d",
                  '"%s" --hidden' % native, "/f") == 0, "reg add")
        try:
            result = inst.run("5\n")
        finally:
            reg("delete", RUN_KEY, "/v", VALUE_NAME, "/f")
        label, name, path = "HKCU Run", VALUE_NAME, native
        heading, summary, tag = ("[INFO] Checking Registry Autoruns & Startup...",
                                 "[INFO] Registry Scan Complete. ", "[MALICIOUS-REG] ")
    else:
        inst.write("config/autostart/updater.desktop",
                   '[Desktop Entry]\nType=Application\nExec="%s" --hidden %%U\n' % program)
        inst.write("config/autostart/other.desktop",
                   "[Desktop Entry]\nExec=%s\n" % inst.path("payload", "harmless.exe"))
        inst.write("config/systemd/user/gone.service", "[Service]\nExecStart=-/nowhere/x\n")
        os.makedirs(inst.path("xdg"), exist_ok=True)
        result = inst.run("5\n", extra_env={"HOME": inst.path("home"),
                                            "XDG_CONFIG_HOME": inst.path("config"),
                                            "XDG_CONFIG_DIRS": inst.path("xdg")})
        label, name, path = "XDG user", "updater.desktop", program
        heading, summary, tag = ("[INFO] Checking Autostart Entries & Startup...",
                                 "[INFO] Autostart Scan Complete. ", "[MALICIOUS-AUTOSTART] ")

    check(result.returncode == 0, "exit code", result)
    out = result.stdout
    alert = "[ALERT] Malicious Startup Found: %s -> %s\n        Path: %s\n" % (label, name, path)
    check("\n" + heading + "\n" in out, "heading", result)
    check(alert in out, "alert and path lines", result)
    check(out.index(heading) < out.index(alert) < out.index(summary) < out.index("Selection: "),
          "heading, alert, summary, then the menu", result)
    summary_line = out[out.index(summary):].split("\n")[0]
    # System locations of the machine are read too, so only the hit count is fixed.
    check(summary_line.endswith(" entries checked. 1 malicious detected."), summary_line, result)
    log = inst.read("scan_log.txt")
    check("%s%s %s -> %s\n" % (tag, label, name, path) in log, "log line", result)


if __name__ == "__main__":
    harness.main([test_planted_entry_naming_a_listed_file_is_reported])
