#!/usr/bin/env python3
"""Rule matching benchmark: quorvex scanning with pattern rules against the yara tool itself.

    bench/rules_bench.py --exe build/app/quorvex [--data /work/bench-data] [--rules 400]

Generates (once) the small-file tree with bench/make_scan_trees.py, and a rule set of a few
hundred rules in some dozens of files, of the kind public sets hold: text strings (some nocase,
some wide), hex strings with jumps and wild cards, a few regular expressions, conditions on the
file's first bytes, counts of strings and the file's size, and a few rules that match files of the
tree by their serial numbers. With the page cache warm, in one run, it times:

  quorvex scan --rules (first scan: no compiled set, no caches), and the rescan
  quorvex scan --no-rules, first scan and rescan
  yara -r -p 2 with the same rule files on the same tree
  the start-up of quorvex with the compiled set kept, against compiling the rules afresh

quorvex scans with --all-files, so both look at every file. It checks that quorvex and yara report
the same rules for the same files, and prints a table with each time against yara's.
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from scan_bench import log, timed, tree_size, warm  # noqa: E402

RULE_FILES = 40
WORDS = ("invoke", "payload", "shell", "inject", "beacon", "loader", "stager", "dropper",
         "keylog", "exfil", "ransom", "crypt", "wallet", "token", "update", "service", "persist",
         "hollow", "reflect", "syscall", "mimic", "tunnel", "socks", "proxy", "spread", "worm")


def hex_bytes(rng, count):
    return " ".join("%02X" % rng.randrange(256) for _ in range(count))


def make_string(rng, index):
    """One string definition: text, hex with jumps, or (rarely) a regular expression."""
    kind = rng.random()
    if kind < 0.5:
        text = "%s_%s%d_%s" % (rng.choice(WORDS), rng.choice(WORDS), rng.randrange(1000),
                               rng.choice(WORDS))
        modifier = rng.choice(("", "", " nocase", " wide", " ascii wide"))
        return '$s%d = "%s"%s' % (index, text, modifier)
    if kind < 0.93:
        parts = [hex_bytes(rng, rng.randrange(4, 8))]
        for _ in range(rng.randrange(1, 3)):
            low = rng.randrange(0, 8)
            parts.append(rng.choice(("[%d-%d]" % (low, low + rng.randrange(1, 12)), "?? ??",
                                     "[%d]" % rng.randrange(1, 6))))
            parts.append(hex_bytes(rng, rng.randrange(2, 6)))
        return "$h%d = { %s }" % (index, " ".join(parts))
    host = "".join(rng.choice("abcdefghijklmnop") for _ in range(5))
    return r"$r%d = /https?:\/\/%s[a-z0-9]{2,8}\.(top|xyz|ru)\/[a-z]{3,6}\.php/" % (index, host)


def make_rule(rng, name):
    strings = [make_string(rng, i) for i in range(rng.randrange(2, 7))]
    # Every string is referenced: the rule compiler refuses a rule with one that is not.
    kinds = sorted({s[1] for s in strings})
    condition = rng.choice((
        "any of them",
        "2 of them",
        "uint16(0) == 0x5A4D and any of them",
        "filesize < 2MB and any of them",
        "#%s > 1 or all of them" % strings[0].split()[0][1:],
        " or ".join("any of ($%s*)" % kind for kind in kinds),
    ))
    body = "\n        ".join(strings)
    return ("rule %s\n{\n    meta:\n        description = \"generated\"\n    strings:\n"
            "        %s\n    condition:\n        %s\n}\n" % (name, body, condition))


def hit_rules(rng):
    """Rules that match known files of the tree: each of its files starts with a 12-digit serial
    and a '|', so a serial picks its file."""
    rules = []
    for n in range(6):
        serial = rng.randrange(100000)
        rules.append('rule Serial%d\n{\n    strings:\n        $p = "%012d|"\n    condition:\n'
                     '        $p at 0\n}\n' % (n, serial))
    # One in a thousand or so: serials ending in 999, with 7 leading zeros.
    rules.append("rule SerialsEnding999\n{\n    strings:\n"
                 "        $p = { 30 30 30 30 30 30 30 ?? ?? 39 39 39 7C }\n"
                 "    condition:\n        $p at 0\n}\n")
    return rules


def write_rule_set(folder, count):
    stamp = os.path.join(folder, "rules.json")
    if os.path.exists(stamp) and json.load(open(stamp)) == {"rules": count, "version": 2}:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    rng = random.Random(7)
    rules = [make_rule(rng, "Generated_%04d" % i) for i in range(count)] + hit_rules(rng)
    for f in range(RULE_FILES):
        with open(os.path.join(folder, "set%02d.yar" % f), "w") as out:
            out.write("// generated for the rule benchmark\n\n")
            out.write("\n".join(rules[f::RULE_FILES]))
    json.dump({"rules": count, "version": 2}, open(stamp, "w"))


def yara_matches(out):
    found = {}
    for line in out.splitlines():
        rule, _, path = line.partition(" ")
        if path:
            found.setdefault(path, set()).add(rule)
    return found


def quorvex_matches(out):
    found = {}
    summary = None
    for line in out.splitlines():
        if not line:
            continue
        record = json.loads(line)
        if record["type"] == "finding" and record.get("rules"):
            found[record["path"]] = set(record["rules"])
        elif record["type"] == "summary":
            summary = record
    return found, summary


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="the native quorvex executable")
    parser.add_argument("--data", default="/work/bench-data")
    parser.add_argument("--rules", type=int, default=400, help="generated rules")
    parser.add_argument("--starts", type=int, default=7, help="runs of each start-up time")
    args = parser.parse_args()

    os.makedirs(args.data, exist_ok=True)
    log("== generating the trees (once)")
    subprocess.run([sys.executable, os.path.join(HERE, "make_scan_trees.py"), "--data", args.data],
                   check=True)
    root = os.path.join(args.data, "small")
    rules = os.path.join(args.data, "rules-bench")
    write_rule_set(rules, args.rules)
    rule_files = sorted(os.path.join(rules, n) for n in os.listdir(rules) if n.endswith(".yar"))

    install = os.path.join(args.data, "rules-install")
    shutil.rmtree(install, ignore_errors=True)
    os.makedirs(install)
    exe = os.path.join(install, "quorvex")
    shutil.copy2(args.exe, exe)
    # The starter database: the start-up times are the rules', not a large database's.
    shutil.copy2(os.path.join(os.path.dirname(args.exe), "hashes.local.txt"), install)
    empty = os.path.join(install, "empty")
    os.makedirs(empty)
    subprocess.run([exe, "scan", "--no-rules", empty], cwd=install, check=True,
                   stdout=subprocess.DEVNULL)

    # The rule tool gives up on the whole set for one bad rule: every generated rule must compile.
    compiled = subprocess.run(["yara", "-w"] + rule_files + [empty], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    if compiled.returncode != 0 or compiled.stderr:
        log("the rule set does not compile:", compiled.stderr.decode())
        return 1

    files, size = tree_size(root)
    log("== small tree: %d files, %.2f GB; %d rule files; warming the page cache"
        % (files, size / 1e9, len(rule_files)))
    warm(root)

    def forget(*names):
        for name in names:
            path = os.path.join(install, name)
            if os.path.exists(path):
                os.unlink(path)

    def quorvex(*options):
        return timed([exe, "scan", "--all-files", "--json"] + list(options) + [root], cwd=install)

    rows = {}
    forget("hash_cache.bin", "rule_cache.bin", "compiled_rules.bin")
    wall, rss, out = quorvex("--rules", rules)
    ours, first_summary = quorvex_matches(out)
    rows["quorvex --rules, first scan"] = (wall, rss)
    wall, rss, out = quorvex("--rules", rules)
    _, rescan_summary = quorvex_matches(out)
    rows["quorvex --rules, rescan"] = (wall, rss)
    forget("hash_cache.bin")
    rows["quorvex --no-rules, first scan"] = quorvex("--no-rules")[:2]
    rows["quorvex --no-rules, rescan"] = quorvex("--no-rules")[:2]
    wall, rss, out = timed(["yara", "-r", "-p", "2", "-w"] + rule_files + [root])
    theirs = yara_matches(out)
    rows["yara -r -p 2"] = (wall, rss)

    def start_up(keep):
        times = []
        for _ in range(args.starts):
            if not keep:
                forget("compiled_rules.bin")
            times.append(timed([exe, "scan", "--rules", rules, empty], cwd=install)[0])
        return statistics.median(times)

    start_up(True)  # leaves a kept set behind
    kept = start_up(True)
    fresh = start_up(False)
    start_up(True)
    bare = statistics.median(timed([exe, "scan", "--no-rules", empty], cwd=install)[0]
                             for _ in range(args.starts))

    yara_time = rows["yara -r -p 2"][0]
    log("")
    log("%-34s %9s %10s %9s %12s" % ("run", "wall s", "files/s", "RSS MiB", "x yara"))
    for name, (wall, rss) in rows.items():
        log("%-34s %9.3f %10.0f %9.1f %12.2f" % (name, wall, files / wall, rss / 1024,
                                                 wall / yara_time))
    log("")
    log("start-up (median of %d, scan of an empty folder):" % args.starts)
    log("  without rules            %7.1f ms" % (bare * 1000))
    log("  compiled set kept        %7.1f ms" % (kept * 1000))
    log("  compiling %d rules afresh %6.1f ms" % (args.rules + len(hit_rules(random.Random(7))),
                                                   fresh * 1000))
    log("first scan: %d files matched a rule (quorvex), %d (yara); files read: %d first, %d rescan"
        % (len(ours), len(theirs), first_summary["files_read"], rescan_summary["files_read"]))

    first = rows["quorvex --rules, first scan"][0]
    rescan = rows["quorvex --rules, rescan"][0]
    plain_rescan = rows["quorvex --no-rules, rescan"][0]
    checks = [
        ("quorvex and yara report the same rules for the same files", ours == theirs),
        ("the serial rules matched their files", any(r.startswith("Serial") for s in ours.values()
                                                     for r in s)),
        ("the rescan read no file", rescan_summary["files_read"] == 0),
        ("first scan with rules <= 1.0 x yara -r -p 2 (%.2f)" % (first / yara_time),
         first <= yara_time),
        ("rescan with rules <= 1.5 x rescan without (%.2f)" % (rescan / plain_rescan),
         rescan <= 1.5 * plain_rescan),
        ("start-up with the compiled set kept < 100 ms (%.1f ms)" % (kept * 1000), kept < 0.1),
    ]
    if ours != theirs:
        for path in sorted(set(ours) | set(theirs)):
            if ours.get(path) != theirs.get(path):
                log("   differs: %s quorvex %s yara %s" % (path, ours.get(path), theirs.get(path)))
    log("")
    for text, ok in checks:
        log("%s  %s" % ("PASS" if ok else "FAIL", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
