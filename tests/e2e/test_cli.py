"""The batch commands through the real executable, with standard input closed: findings, exit
status, plain and JSON Lines output, the cache and report files, and usage errors."""

import hashlib
import json
import os
import re
import subprocess

import harness
from harness import check, check_equal
from test_scan import Fixture, below, program_path

ESCAPE = "\x1b"


def scan(fx, *args, **kwargs):
    return fx.inst.run(None, args=("scan",) + args, **kwargs)


def json_lines(result):
    lines = [json.loads(line) for line in result.stdout.splitlines() if line]
    check(lines and lines[-1]["type"] == "summary", "a summary closes the output", result)
    return lines


def plain_findings(result):
    return sorted(line for line in result.stdout.splitlines()
                  if line.endswith(": MALICIOUS") or line.endswith(": SUSPICIOUS"))


def test_planted_files_are_the_findings_plain_and_json():
    fx = Fixture("cli_findings")
    result = scan(fx, fx.root)
    check_equal(result.returncode, 1, "a finding: exit 1", result)
    check_equal(plain_findings(result), [p + ": MALICIOUS" for p in fx.malicious],
                "exactly the planted files", result)
    check("Files Scanned: %d\n" % fx.scanned in result.stdout, "summary counts", result)
    check("Malicious Found: 2\n" in result.stdout, "summary counts", result)
    check(ESCAPE not in result.stdout + result.stderr, "no escape sequences on a pipe", result)
    check_equal(result.stderr, "", "nothing went wrong", result)

    result = scan(fx, "--json", fx.root)
    check_equal(result.returncode, 1, "exit 1 with --json", result)
    lines = json_lines(result)
    findings = [line for line in lines if line["type"] == "finding"]
    check_equal(sorted(f["path"] for f in findings), fx.malicious, "the planted paths", result)
    for finding in findings:
        relative = finding["path"][len(fx.root) + 1:].replace("\\", "/")
        content = fx.files[relative]
        check_equal(finding["verdict"], "malicious", "verdict", result)
        check_equal(finding["reason"], "hash", "reason", result)
        check_equal(finding["sha256"], hashlib.sha256(content).hexdigest(), "sha256", result)
        check_equal(finding["size"], len(content), "size", result)
    summary = lines[-1]
    check_equal(summary["schema"], 1, "schema", result)
    check_equal(summary["roots"], [fx.root], "roots", result)
    check_equal((summary["files_scanned"], summary["malicious"], summary["suspicious"],
                 summary["errors"]), (fx.scanned, 2, 0, 0), "summary counts", result)
    check_equal(summary["bytes_scanned"], sum(len(c) for c in fx.files.values()),
                "bytes", result)
    check_equal(summary["database_hashes"], 3, "the fixture lists three hashes", result)
    check_equal(summary["cache_hits"], fx.scanned, "the second scan is answered by the cache",
                result)
    check(isinstance(summary["seconds"], (int, float)), "seconds", result)
    check_equal(result.stderr, "", "nothing on standard error", result)

    # --quiet: the findings alone.
    result = scan(fx, "--quiet", fx.root)
    check_equal(result.returncode, 1, "exit status with --quiet", result)
    check_equal(sorted(result.stdout.splitlines()), [p + ": MALICIOUS" for p in fx.malicious],
                "only the finding lines", result)


def test_heuristics_add_the_suspicious_file_and_its_status():
    fx = Fixture("cli_heuristics")
    clean_root = below(fx.root, "tools")  # the packed and the plain executable, nothing listed
    result = scan(fx, clean_root)
    check_equal(result.returncode, 0, "nothing found without heuristics", result)
    result = scan(fx, "--heuristics", clean_root)
    check_equal(result.returncode, 1, "a suspicious file is a finding with --heuristics", result)
    check_equal(plain_findings(result), [fx.suspicious + ": SUSPICIOUS"], "the packed file",
                result)
    finding = [l for l in json_lines(scan(fx, "--heuristics", "--json", clean_root))
               if l["type"] == "finding"]
    check_equal(len(finding), 1, "one finding", result)
    check_equal((finding[0]["verdict"], finding[0]["reason"], finding[0]["path"]),
                ("suspicious", "entropy", fx.suspicious), "the suspicious finding", result)
    check(abs(finding[0]["entropy"] - 8.0) < 0.01, "its entropy", result)


def test_clean_tree_missing_root_and_usage_errors():
    fx = Fixture("cli_status")
    clean_root = below(fx.root, "docs")
    result = scan(fx, clean_root)
    check_equal(result.returncode, 0, "a clean tree: exit 0", result)

    missing = below(fx.root, "no-such-folder")
    result = scan(fx, missing, clean_root)
    check_equal(result.returncode, 2, "a missing root: exit 2", result)
    check_equal(result.stderr, "%s: ERROR no such file or directory\n" % missing,
                "the missing root is named on standard error", result)
    # A finding wins over errors.
    result = scan(fx, missing, fx.root)
    check_equal(result.returncode, 1, "a finding and a missing root: exit 1", result)

    for args in (("scan", "--bogus", clean_root), ("scan",), ("frobnicate",),
                 ("scan", "--jobs", "0", clean_root), ("scan", "--quick", clean_root)):
        result = fx.inst.run(None, args=args)
        check_equal(result.returncode, 2, "usage error for %r: exit 2" % (args,), result)
        check_equal(result.stdout, "", "nothing on standard output for %r" % (args,), result)
        check("Usage: quorvex" in result.stderr, "the usage on standard error", result)

    for args in (("--help",), ("scan", "--help")):
        result = fx.inst.run(None, args=args)
        check_equal(result.returncode, 0, "%r: exit 0" % (args,), result)
        check("Usage: quorvex" in result.stdout, "usage on standard output", result)
    result = fx.inst.run(None, args=("--version",))
    check_equal((result.returncode, result.stdout), (0, "quorvex 1.0\n"), "version", result)

    # Without a database there is nothing to scan against.
    os.remove(fx.inst.path("hashes.txt"))
    os.remove(fx.inst.path("hashes.bin"))
    result = scan(fx, fx.root)
    check_equal(result.returncode, 2, "no database: exit 2", result)
    check("hash database could not be loaded" in result.stderr, "the reason", result)


def test_no_cache_and_report_files():
    fx = Fixture("cli_files")
    result = scan(fx, "--no-cache", fx.root)
    check_equal(result.returncode, 1, "exit status", result)
    check(not os.path.exists(fx.inst.path("hash_cache.bin")), "--no-cache writes no cache",
          result)
    result = scan(fx, "--json", "--no-cache", fx.root)
    check_equal(json_lines(result)[-1]["cache_hits"], 0, "and reads none", result)

    report = fx.inst.path("reports", "nightly.txt")
    os.makedirs(os.path.dirname(report))
    result = scan(fx, "--report", program_path(report), fx.root)
    check_equal(result.returncode, 1, "exit status", result)
    check(os.path.exists(fx.inst.path("hash_cache.bin")), "a scan keeps the cache", result)
    check_equal(os.listdir(os.path.dirname(report)), ["nightly.txt"],
                "the report and no temporary beside it", result)
    text = open(report, newline="").read().replace("\r\n", "\n")
    check(text.startswith("QUORVEX ANTIVIRUS SCAN REPORT\n"), "the export's layout:\n" + text)
    check("Malicious Files: 2\n" in text, "its counts:\n" + text)
    for path in fx.malicious:
        check("- %s\n" % path in text, "it lists " + path + ":\n" + text)

    result = scan(fx, "--report", program_path(fx.inst.path("no-such", "r.txt")), fx.root)
    check_equal(result.returncode, 1, "a finding still wins", result)
    check("report could not be written" in result.stderr, "the failed report is said", result)


def test_non_utf8_name_comes_back_byte_for_byte():
    if harness.is_windows():
        raise harness.Skip("Windows names are UTF-16")
    fx = Fixture("cli_bytes")
    name = b"bad\xff\xfe name \xe2\x82\xac.bin"  # two stray bytes and a valid euro sign
    content = fx.files["downloads/invoice.pdf.exe"]
    folder = fx.inst.path("tree", "odd")
    os.makedirs(folder)
    with open(os.path.join(folder.encode(), name), "wb") as f:
        f.write(content)
    result = scan(fx, "--json", below(fx.root, "odd"))
    check(re.search(rb'"path":"[^"]*bad\\udcff\\udcfe name \xe2\x82\xac\.bin"',
                    result.raw_stdout), "the stray bytes as \\udcXX escapes", result)
    result.raw_stdout.decode("utf-8")  # valid UTF-8 throughout
    finding = [l for l in json_lines(result) if l["type"] == "finding"][0]
    recovered = finding["path"].encode("utf-8", "surrogateescape")
    check_equal(recovered, os.path.join(folder.encode(), name), "the exact bytes", result)


def test_data_folder_named_by_the_environment_and_read_only():
    fx = Fixture("cli_data_dir")
    data = fx.inst.path("data")
    os.makedirs(data)
    for name in ("hashes.txt",):
        os.rename(fx.inst.path(name), os.path.join(data, name))
    env = {"QUORVEX_DATA_DIR": program_path(data)}
    result = scan(fx, fx.root, extra_env=env)
    check_equal(result.returncode, 1, "the database in the data folder finds the files", result)
    check(os.path.exists(os.path.join(data, "hash_cache.bin")), "the cache is kept there", result)
    check(os.path.exists(os.path.join(data, "hashes.bin")), "and the binary database", result)
    check(not os.path.exists(fx.inst.path("hash_cache.bin")), "nothing beside the program",
          result)

    if harness.is_windows() or os.geteuid() != 0:
        return  # a folder this user cannot write needs another user to run the program
    os.chmod(data, 0o755)
    os.remove(os.path.join(data, "hash_cache.bin"))
    result = fx.inst.run(None, args=("scan", fx.root), extra_env=env, as_nobody=True)
    check_equal(result.returncode, 1, "a read-only data folder still scans", result)
    check("[WARN] The data folder %s cannot be written" % data in result.stderr,
          "the read-only folder is said once", result)
    check_equal(result.stderr.count("cannot be written"), 1, "once", result)
    check(not os.path.exists(os.path.join(data, "hash_cache.bin")), "no cache is saved", result)
    result = fx.inst.run(None, args=("update",), extra_env=env, as_nobody=True)
    check_equal(result.returncode, 2, "no update into a read-only folder", result)
    check("[ERROR] Update failed: the data folder %s cannot be written\n" % data
          in result.stderr, "the update says why", result)


def test_stdin_is_never_read():
    """Standard input stays open and silent: a command that waited for it would never end."""
    fx = Fixture("cli_stdin")
    command = harness.command_for(fx.inst.exe, ["scan", below(fx.root, "docs")])
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, cwd=fx.inst.folder,
                               env=harness.environment())
    try:
        status = process.wait(timeout=60)
    finally:
        process.stdin.close()
        process.kill()
    out = process.stdout.read().decode()
    check_equal(status, 0, "exit status without reading standard input:\n" + out)
    check("Selection" not in out, "no menu:\n" + out)


if __name__ == "__main__":
    harness.main([
        test_planted_files_are_the_findings_plain_and_json,
        test_heuristics_add_the_suspicious_file_and_its_status,
        test_clean_tree_missing_root_and_usage_errors,
        test_no_cache_and_report_files,
        test_non_utf8_name_comes_back_byte_for_byte,
        test_data_folder_named_by_the_environment_and_read_only,
        test_stdin_is_never_read,
    ])
