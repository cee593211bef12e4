"""Runs the real quorvex executable for end-to-end tests.

Every test script is started by ctest as
    python3 test_x.py --exe PATH [--emulator=wine] --work FOLDER
and calls harness.main() with its test functions. Each test gets an installation of its own: a
fresh folder holding a copy of the executable, where the program keeps its data files.
"""

import argparse
import os
import select
import time
import shutil
import subprocess
import sys
import traceback

_args = None

# The screen text of the banner and the main menu, as a pipe sees it (no colours, no clearing).
BANNER = (
    "      _ _   _ _   _ _   _ _   _ _   _ _   _ _ \n"
    "     /   \\ /   \\ /   \\ /   \\ /   \\ /   \\ /   \\\n"
    "    (  Q  |  U  |  O  |  R  |  V  |  E  |  X  )\n"
    "     \\ _ / \\ _ / \\ _ / \\ _ / \\ _ / \\ _ / \\ _ /\n"
    "\n"
    "       >>> Ultimate System Maintenance <<<\n"
    "---------------------------------------------\n"
)
MENU = (
    BANNER + "\n"
    "  [1] Smart Scan Options\n"
    "  [2] Clean Temp & Cache\n"
    "  [3] Clean System Memory\n"
    "  [4] Update Database\n"
    "  [5] Exit\n"
    "\nSelection: "
)


def is_windows():
    return bool(_args and _args.emulator)


def command_for(exe, args=()):
    """The command line that runs the executable with these arguments (through Wine for .exe)."""
    return ([_args.emulator] if _args.emulator else []) + [exe] + list(args)


def environment(env=None, extra_env=None):
    """The environment a run gets: the given one (or ours), quiet Wine, no display."""
    result = dict(os.environ if env is None else env)
    result.setdefault("WINEDEBUG", "-all")
    result.pop("DISPLAY", None)
    if extra_env:
        result.update(extra_env)
    return result


# The exit status of a script all of whose tests were skipped (CTest's SKIP_RETURN_CODE).
SKIPPED_EXIT_CODE = 77


class Skip(Exception):
    """Raised by a test that does not apply to this build or machine."""


class Result:
    def __init__(self, stdout, stderr, returncode, raw_stdout=b""):
        self.stdout = stdout
        self.stderr = stderr
        self.returncode = returncode
        self.raw_stdout = raw_stdout

    def __repr__(self):
        return "rc=%r\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.returncode, self.stdout, self.stderr)


class Installation:
    """A private folder with a copy of the executable; the program's data files live beside it."""

    def __init__(self, name):
        self.folder = os.path.join(_args.work, name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, os.path.basename(_args.exe))
        shutil.copy2(_args.exe, self.exe)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def write(self, relative, content, mode="w"):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, mode) as f:
            f.write(content)
        return full

    def read(self, relative):
        with open(self.path(relative), newline="") as f:
            return f.read().replace("\r", "")

    def run(self, keystrokes, cwd=None, env=None, timeout=120, extra_env=None, open_files=None,
            args=(), as_nobody=False):
        """Runs the program with the keystrokes piped to its standard input (None: with standard
        input closed).

        open_files: on Linux, the most descriptors the program may hold open at once.
        args: command-line arguments (a batch command).
        as_nobody: run it as the unprivileged user nobody (Linux, as root only; else Skip)."""
        command = command_for(self.exe, args)
        if as_nobody:
            self.allow_nobody()
            command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command
        run_environment = environment(env, extra_env)
        def prepare():
            if open_files is not None:
                import resource
                hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
                resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, hard))
            if keystrokes is None:
                os.close(0)
        completed = subprocess.run(
            command, input=None if keystrokes is None else keystrokes.encode(),
            stdin=subprocess.DEVNULL if keystrokes is None else None,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            cwd=cwd or self.folder, env=run_environment, timeout=timeout, preexec_fn=prepare)
        # Wine's text-mode output ends lines with CR LF.
        out = completed.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        err = completed.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        return Result(out, err, completed.returncode, completed.stdout)


    def allow_nobody(self):
        """Lets the user nobody run the program here and write its files; Skip where it cannot."""
        if is_windows() or os.geteuid() != 0:
            raise Skip("needs root on Linux to run the program as another user")
        os.chmod(self.folder, 0o777)
        path = os.path.abspath(self.folder)
        while os.path.dirname(path) != path:
            path = os.path.dirname(path)
            if not os.stat(path).st_mode & 0o001:
                raise Skip("%s is not searchable by other users" % path)


def run_in_terminal(inst, keys, extra_env=None, timeout=60):
    """Runs the native program on a pseudo-terminal, typing the keys once the menu asks.

    Returns the raw screen output (colour sequences kept, lines ending in CR LF)."""
    import pty
    env = dict(os.environ, TERM="xterm", **(extra_env or {}))
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(inst.folder)
        os.execve(inst.exe, [inst.exe], env)
    output = b""
    deadline = time.time() + timeout
    sent = False
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        if not sent and b"Selection: " in output:
            os.write(fd, keys.encode())
            sent = True
    _, status = os.waitpid(pid, 0)
    check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
          "clean exit in the terminal:\n%r" % output)
    return output.decode("utf-8", "replace")


def check(condition, message, result=None):
    if not condition:
        raise AssertionError(message + ("\n" + repr(result) if result is not None else ""))


def check_equal(actual, expected, message="", result=None):
    if actual != expected and not isinstance(expected, str):
        raise AssertionError("%s\nexpected %r\nactual   %r%s" % (
            message, expected, actual, ("\n" + repr(result)) if result is not None else ""))
    if actual != expected:
        import difflib
        diff = "\n".join(difflib.unified_diff(
            expected.splitlines(), actual.splitlines(), "expected", "actual", lineterm=""))
        raise AssertionError("%s\n%s%s" % (message, diff,
                                           ("\n" + repr(result)) if result is not None else ""))


def main(tests):
    global _args
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", default="")
    _args = parser.parse_args()
    os.makedirs(_args.work, exist_ok=True)
    passed = failed = skipped = 0
    for test in tests:
        if _args.only and _args.only not in test.__name__:
            continue
        try:
            test()
            passed += 1
            print("PASS", test.__name__)
        except Skip as reason:
            skipped += 1
            print("SKIP", test.__name__, "-", reason)
        except Exception:  # noqa: BLE001 - every failure is reported and counted
            failed += 1
            print("FAIL", test.__name__)
            traceback.print_exc(file=sys.stdout)
        sys.stdout.flush()
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed or not (passed or skipped):
        sys.exit(1)
    # Nothing ran here but nothing failed either: tell CTest the script was skipped.
    sys.exit(0 if passed else SKIPPED_EXIT_CODE)
