"""Pattern rules through the real executable: the rules folder beside it and --rules, the
start-up lines, findings in plain and JSON output and in the log, the compiled set kept between
starts, the memory of matches, and the Windows build that has no rule matching."""

import hashlib
import json
import os
import re
import stat
import subprocess

import harness
from harness import check, check_equal
from test_scan import below, program_path

RULES = {
    "text.yar": 'rule TextRule { strings: $a = "dropper-marker" nocase condition: $a }\n',
    "hex.yara": "rule HexRule { strings: $h = { 4C 4F [1-3] 41 44 } condition: $h }\n",
    "sub/regex.yar": "rule RegexRule { strings: $r = /beacon-[0-9a-f]{8}/ condition: $r }\n",
    "vars.yar": 'rule ScriptNamed { condition: filetype == "SCRIPT" and extension == ".sh" and '
                'filename == "run.sh" }\n',
    # The second rule of this file is broken on line 3; the file's good rule is left out too.
    "broken.yar": "rule NotLoaded { condition: true }\n\nrule Broken { condition: $nope }\n",
    "notes.txt": "rule NeverLoaded { condition: true }\n",
}
FILES = {
    "a/text.bin": b"xx DROPPER-MARKER yy",
    "a/hex.bin": b"LO--AD",
    "b/regex.dat": b"call beacon-0a1b2c3d now",
    "b/run.sh": b"#!/bin/sh\necho hi\n",
    "b/other.sh": b"#!/bin/sh\necho hi\n",
    "clean.bin": b"nothing to find",
}
MATCHED = {"a/text.bin": ["TextRule"], "a/hex.bin": ["HexRule"], "b/regex.dat": ["RegexRule"],
           "b/run.sh": ["ScriptNamed"]}
STAMP = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} "


class RuleFixture:
    def __init__(self, name, rules=RULES, folder="rules"):
        self.inst = harness.Installation(name)
        for relative, text in rules.items():
            self.inst.write(os.path.join(folder, relative), text)
        for relative, content in FILES.items():
            self.inst.write("tree/" + relative, content, mode="wb")
        self.inst.write("hashes.txt", "0" * 64 + "\n")
        self.root = program_path(self.inst.path("tree"))

    def scan(self, *args):
        return self.inst.run(None, args=("scan",) + args)

    def log(self):
        return self.inst.read("scan_log.txt")


def findings(result):
    lines = [json.loads(line) for line in result.stdout.splitlines() if line]
    check(lines and lines[-1]["type"] == "summary", "a summary closes the output", result)
    return {f["path"]: f for f in lines if f["type"] == "finding"}, lines[-1]


def needs_rules():
    if harness.is_windows():
        raise harness.Skip("the Windows build has no rule matching")


def test_rule_findings_in_json_plain_and_log():
    needs_rules()
    fx = RuleFixture("rules_findings")
    broken = program_path(fx.inst.path("rules", "broken.yar"))
    result = fx.scan("--json", fx.root)
    check_equal(result.returncode, 1, "rule findings: exit 1", result)
    found, summary = findings(result)
    check_equal(sorted(found), sorted(below(fx.root, p) for p in MATCHED), "the matched files",
                result)
    for relative, rules in MATCHED.items():
        finding = found[below(fx.root, relative)]
        check_equal((finding["verdict"], finding["reason"], finding["rules"]),
                    ("malicious", "rule", rules), relative, result)
        check("reasons" not in finding, "one reason only", result)
    check_equal((summary["rules"], summary["malicious"], summary["files_read"]),
                (4, 4, len(FILES)), "summary", result)
    check_equal(result.stderr,
                "[WARN] Rules file %s line 3: undefined string \"$nope\"\n"
                "[INIT] Loaded 4 rules from 4 files.\n" % broken,
                "the broken file and what was loaded, on standard error", result)
    log = fx.log()
    check(re.search("^" + STAMP + re.escape("[MALICIOUS] %s (rule HexRule)" %
                                            below(fx.root, "a/hex.bin")) + "$", log, re.M),
          "the log names the rule:\n" + log)
    check(re.search("^" + STAMP + re.escape("[WARN] Rules file %s line 3: " % broken), log,
                    re.M), "the log has the broken file:\n" + log)

    # Plain output keeps its layout; --quiet leaves out the start-up line but not the warning.
    result = fx.scan("--quiet", fx.root)
    check_equal(sorted(result.stdout.splitlines()),
                sorted(below(fx.root, p) + ": MALICIOUS" for p in MATCHED), "plain lines", result)
    check(result.stderr.startswith("[WARN] Rules file ") and "[INIT]" not in result.stderr,
          "only the warning with --quiet", result)

    # Without rules nothing here is found.
    result = fx.scan("--no-rules", "--json", fx.root)
    check_equal(result.returncode, 0, "--no-rules: exit 0", result)
    check_equal(findings(result)[1]["rules"], 0, "no rules", result)
    check_equal(result.stderr, "", "and nothing said of them", result)


def test_a_listed_file_that_matches_has_both_reasons():
    needs_rules()
    fx = RuleFixture("rules_both")
    fx.inst.write("hashes.txt", hashlib.sha256(FILES["a/hex.bin"]).hexdigest() + "\n")
    found, _ = findings(fx.scan("--json", fx.root))
    finding = found[below(fx.root, "a/hex.bin")]
    check_equal((finding["reason"], finding["reasons"], finding["rules"]),
                ("hash", ["hash", "rule"], ["HexRule"]), "both reasons", finding)
    check("[MALICIOUS] %s (hash; rule HexRule)" % below(fx.root, "a/hex.bin") in fx.log(),
          "the log line names both:\n" + fx.log())


def test_rules_see_the_whole_path_of_a_file_under_a_relative_root():
    needs_rules()
    fx = RuleFixture("rules_relative", rules={})
    other = fx.inst.path("tree", "b", "other.sh")
    fx.inst.write("rules/path.yar", 'rule WholePath { condition: filepath == "%s" }\n' % other)
    found, _ = findings(fx.scan("--json", os.path.join("tree", "b")))
    check_equal(found[os.path.join("tree", "b", "other.sh")]["rules"], ["WholePath"],
                "the rule saw the whole path", found)


def test_rules_option_size_limit_and_missing_folder():
    needs_rules()
    fx = RuleFixture("rules_option", folder="elsewhere")
    result = fx.scan(fx.root)
    check_equal(result.returncode, 0, "an empty rules folder beside the executable: exit 0",
                result)
    check_equal(result.stderr, "", "nothing said without rule files", result)

    elsewhere = program_path(fx.inst.path("elsewhere"))
    result = fx.scan("--json", "--rules", elsewhere, "--max-rule-size", "10", fx.root)
    found, summary = findings(result)
    # Only the two files of at most 10 bytes were matched.
    check_equal(sorted(found), [below(fx.root, "a/hex.bin")], "the small match", result)
    check_equal(summary["not_matched_too_large"], len(FILES) - 1, "counted", result)
    check("[INFO] 5 files not matched against rules (larger than the limit)" in fx.log(),
          "and logged:\n" + fx.log())
    result = fx.scan("--rules", elsewhere, "--max-rule-size", "10", fx.root)
    check("[INFO] 5 files not matched against rules (larger than the limit)\n" in result.stdout,
          "in the plain summary", result)

    missing = program_path(fx.inst.path("no-such-rules"))
    result = fx.scan("--rules", missing, fx.root)
    check_equal(result.returncode, 2, "a missing rules folder: exit 2", result)
    check_equal(result.stderr, "quorvex: the rules folder %s does not exist\n" % missing,
                "the reason", result)
    result = fx.scan("--rules", elsewhere, "--no-rules", fx.root)
    check_equal(result.returncode, 2, "--rules with --no-rules: usage error", result)


def test_compiled_set_is_kept_reused_rebuilt_and_a_foreign_one_refused():
    needs_rules()
    fx = RuleFixture("rules_kept")
    compiled = fx.inst.path("compiled_rules.bin")
    fx.scan(fx.root)
    check("Rules compiled from 4 files" in fx.log(), "compiled on the first start:\n" + fx.log())
    check(os.path.exists(compiled), "the compiled set is kept")
    mode = stat.S_IMODE(os.stat(fx.inst.path("rule_key.bin")).st_mode)
    check_equal(mode, 0o600, "the key is readable by its owner only")
    check(not [n for n in os.listdir(fx.inst.folder) if ".tmp" in n], "no temporary left")

    def last_start(log):
        return log.rsplit("[INIT] Loaded", 1)[-1]

    fx.scan(fx.root)
    check("Compiled rules reused" in last_start(fx.log()), "reused:\n" + fx.log())

    path = fx.inst.path("rules", "text.yar")
    with open(path, "a") as f:
        f.write("rule Added { condition: false }\n")
    os.utime(path, (os.stat(path).st_atime, os.stat(path).st_mtime + 5))
    result = fx.scan(fx.root)
    check("[INIT] Loaded 5 rules from 4 files." in result.stderr, "the change is seen", result)
    check("Rules compiled from 4 files" in last_start(fx.log()), "rebuilt:\n" + fx.log())

    # A compiled file the program did not write: the rule library's own compiler made it.
    subprocess.run(["yarac", fx.inst.path("rules", "hex.yara"), compiled], check=True)
    result = fx.scan("--json", fx.root)
    check("[WARN] Kept compiled rules refused: %s: not a kept rule set" % compiled
          in fx.log(), "refused:\n" + fx.log())
    check_equal(len(findings(result)[0]), 4, "the rules still match", result)
    fx.scan(fx.root)
    check("Compiled rules reused" in last_start(fx.log()), "and kept anew:\n" + fx.log())


def test_unchanged_files_are_not_read_again_until_the_rules_change():
    needs_rules()
    fx = RuleFixture("rules_memory")
    count = len(FILES)
    passes = [("first scan", None, count, 0), ("rescan", None, 0, count),
              ("changed rules", "rule Extra { condition: false }\n", count, count),
              ("rescan again", None, 0, count)]
    for name, extra, read, hits in passes:
        if extra:
            fx.inst.write("rules/extra.yar", extra)
        _, summary = findings(fx.scan("--json", fx.root))
        check_equal((summary["files_read"], summary["cache_hits"]), (read, hits), name, summary)
    result = fx.scan("--json", "--no-cache", fx.root)
    check_equal(findings(result)[1]["files_read"], count, "--no-cache reads every file", result)


def test_menu_loads_the_rules_folder_and_reports_rule_findings():
    needs_rules()
    fx = RuleFixture("rules_menu")
    result = fx.inst.run("1\n3\n0\n0\n%s\n5\n5\n" % fx.root)
    check_equal(result.returncode, 0, "exit status", result)
    start = result.stdout.split("[INFO] Checking ", 1)[0]
    check("[WARN] Rules file " in start and "[INIT] Loaded 4 rules from 4 files.\n" in start,
          "the start-up lines", result)
    check("Malicious Found: 4\n" in result.stdout, "the report counts rule findings", result)
    for relative in MATCHED:
        check("\n -> %s\n" % below(fx.root, relative) in result.stdout,
              "the report lists " + relative, result)


def test_windows_build_says_once_that_it_has_no_rule_matching():
    if not harness.is_windows():
        raise harness.Skip("the Linux build matches rules")
    fx = RuleFixture("rules_windows")
    warning = "[WARN] Rule matching is not available in this build.\n"
    result = fx.scan("--json", fx.root)
    check_equal(result.returncode, 0, "nothing listed, nothing matched: exit 0", result)
    check_equal(result.stderr, warning, "said once", result)
    check_equal(findings(result)[1]["files_scanned"], len(FILES), "everything else works",
                result)
    result = fx.inst.run("5\n")
    check_equal(result.stdout.count(warning), 1, "the menu says it once", result)
    for name in ("compiled_rules.bin", "rule_key.bin", "rule_cache.bin"):
        check(not os.path.exists(fx.inst.path(name)), "no %s" % name)
    empty = RuleFixture("rules_windows_none", rules={})
    result = empty.scan(empty.root)
    check_equal(result.stderr, "", "nothing said without rule files", result)


if __name__ == "__main__":
    harness.main([
        test_rule_findings_in_json_plain_and_log,
        test_a_listed_file_that_matches_has_both_reasons,
        test_rules_see_the_whole_path_of_a_file_under_a_relative_root,
        test_rules_option_size_limit_and_missing_folder,
        test_compiled_set_is_kept_reused_rebuilt_and_a_foreign_one_refused,
        test_unchanged_files_are_not_read_again_until_the_rules_change,
        test_menu_loads_the_rules_folder_and_reports_rule_findings,
        test_windows_build_says_once_that_it_has_no_rule_matching,
    ])
