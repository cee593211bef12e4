#!/usr/bin/env python3
"""Scan benchmark: quorvex against sha256deep, clamscan and find | xargs sha256sum on two trees.

    bench/scan_bench.py --exe build/app/quorvex [--data /work/bench-data]

Generates (once) a tree of about 100,000 small files and one of about 40 large files with
bench/make_scan_trees.py, a database of 10^6 random hashes plus the planted files' hashes, and
the same hashes as a sha256deep match list and a clamscan .hsb database. With the page cache warm
it runs, per tree: quorvex driven through its menu by piped keystrokes (first with an empty hash
cache, then again with the cache the first run saved), `sha256deep -r -j2 -m`, `clamscan -r` and
`find | xargs -P2 sha256sum` and, as the floor of a rescan, `find -printf` of every file's size and
time, each under /usr/bin/time for peak RSS. It prints a
table with files/s, MB/s and each peer's time relative to quorvex's first scan, checks that quorvex
found exactly the planted files, and compares the large-tree rate with `openssl speed -multi 2`.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RANDOM_HASHES = 10 ** 6


def log(*parts):
    print(*parts, flush=True)


def timed(command, stdin=None, cwd=None, shell=False):
    """Runs the command under /usr/bin/time; returns (wall seconds, peak RSS KiB, stdout)."""
    time_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), "scan_bench_time.%d" % os.getpid())
    if shell:
        command = ["bash", "-c", command]
    # The wall time is taken here, to the millisecond: /usr/bin/time rounds it to 10 ms, a tenth
    # of a cached rescan.
    started = time.monotonic()
    completed = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", time_file] + command,
                               input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=cwd)
    wall = time.monotonic() - started
    with open(time_file) as f:
        rss = f.read().split()[-1]
    os.unlink(time_file)
    return wall, int(rss), completed.stdout.decode("utf-8", "replace")


def tree_size(root):
    files = total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            files += 1
            total += os.lstat(os.path.join(folder, name)).st_size
    return files, total


def warm(root):
    """Reads every file once so all runs see a warm page cache."""
    subprocess.run("find '%s' -type f -print0 | xargs -0 -P2 -n 200 cat > /dev/null" % root,
                   shell=True, check=True)


def write_databases(data, planted_hashes):
    """hashes.txt for quorvex, a match list for sha256deep, a .hsb database for clamscan."""
    paths = {k: os.path.join(data, n) for k, n in
             (("txt", "hashes.txt"), ("deep", "known.sha256"), ("hsb", "bench.hsb"))}
    stamp = os.path.join(data, "databases.json")
    if os.path.exists(stamp) and json.load(open(stamp)) == sorted(planted_hashes):
        return paths
    rng = random.Random(1)
    hashes = [rng.randbytes(32).hex() for _ in range(RANDOM_HASHES)] + list(planted_hashes)
    rng.shuffle(hashes)
    with open(paths["txt"], "w") as txt, open(paths["deep"], "w") as deep, \
            open(paths["hsb"], "w") as hsb:
        for n, h in enumerate(hashes):
            txt.write(h + "\n")
            deep.write("%s  known%07d\n" % (h, n))
            hsb.write("%s:*:Bench.Known%07d:73\n" % (h, n))  # size unknown: matched by hash only
    json.dump(sorted(planted_hashes), open(stamp, "w"))
    return paths


def quorvex_scan(install, root, first):
    if first:
        for name in os.listdir(install):
            if name == "hash_cache.bin" or name.startswith("hash_cache.bin."):
                os.unlink(os.path.join(install, name))
    # Custom scan, no heuristics, no signatures; list the malicious files; exit.
    keys = "1\n3\n0\n0\n%s\n2\n5\n" % root
    wall, rss, out = timed([os.path.join(install, "quorvex")], stdin=keys.encode(), cwd=install)
    listing = out.rsplit("MALICIOUS FILES DETECTED (", 1)[-1].split("RECOMMENDATION", 1)[0]
    found = re.findall(r"^\d+\. (.*)$", listing, re.M)
    hits = re.search(r"Cache hits: (\d+)", out)
    return wall, rss, sorted(found), int(hits.group(1)) if hits else None


def openssl_two_core_rate():
    out = subprocess.run(["openssl", "speed", "-mr", "-multi", "2", "-seconds", "3", "-bytes",
                          "16384", "-evp", "sha256"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout.decode()
    lines = [l for l in out.splitlines() if l.startswith("+F:")]
    return float(lines[-1].split(":")[3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="the native quorvex executable")
    parser.add_argument("--data", default="/work/bench-data")
    parser.add_argument("--skip-clamscan", action="store_true")
    args = parser.parse_args()

    os.makedirs(args.data, exist_ok=True)
    log("== generating trees (once)")
    subprocess.run([sys.executable, os.path.join(HERE, "make_scan_trees.py"), "--data", args.data],
                   check=True)
    planted = json.load(open(os.path.join(args.data, "planted.json")))
    all_hashes = planted["small"]["hashes"] + planted["large"]["hashes"]
    log("== databases: %d random hashes + %d planted" % (RANDOM_HASHES, len(all_hashes)))
    dbs = write_databases(args.data, all_hashes)

    install = os.path.join(args.data, "install")
    shutil.rmtree(install, ignore_errors=True)
    os.makedirs(install)
    shutil.copy2(args.exe, os.path.join(install, "quorvex"))
    shutil.copy2(dbs["txt"], os.path.join(install, "hashes.txt"))
    # The first start converts hashes.txt into hashes.bin; the timed runs then load the binary.
    timed([os.path.join(install, "quorvex")], stdin=b"5\n", cwd=install)

    rows = []
    checks = []
    rate_openssl = openssl_two_core_rate()
    for tree in ("small", "large"):
        root = os.path.join(args.data, tree)
        files, size = tree_size(root)
        log("== %s tree: %d files, %.2f GB; warming the page cache" % (tree, files, size / 1e9))
        warm(root)
        results = {}
        wall, rss, found, hits = quorvex_scan(install, root, first=True)
        results["quorvex (first)"] = (wall, rss)
        expected = sorted(planted[tree]["planted"])
        checks.append(("%s: quorvex found exactly the %d planted files" % (tree, len(expected)),
                       found == expected))
        if found != expected:
            log("   expected", expected, "\n   found", found)
        wall2, rss2, found2, hits2 = quorvex_scan(install, root, first=False)
        results["quorvex (cached)"] = (wall2, rss2)
        checks.append(("%s: second scan finds the same files, %s cache hits" % (tree, hits2),
                       found2 == expected))
        wall, rss, out = timed(["sha256deep", "-r", "-j2", "-m", dbs["deep"], root])
        results["sha256deep -r -j2 -m"] = (wall, rss)
        if not args.skip_clamscan:
            wall, rss, out = timed(["clamscan", "-r", "-i", "--no-summary", "-d", dbs["hsb"],
                                    root])
            results["clamscan -r"] = (wall, rss)
        wall, rss, out = timed("find '%s' -type f -print0 | xargs -0 -P2 -n 500 sha256sum "
                               ">/dev/null" % root, shell=True)
        results["find | xargs -P2 sha256sum"] = (wall, rss)
        # No hashing at all: one status query per file, the least a rescan must do to see
        # whether anything changed.
        wall, rss, out = timed("find '%s' -type f -printf '%%s %%T@\\n' >/dev/null" % root,
                               shell=True)
        results["find -printf size,mtime"] = (wall, rss)
        # The same on both cores: the top-level entries shared out to two finds at a time.
        wall, rss, out = timed("find '%s' -mindepth 1 -maxdepth 1 -print0 | xargs -0 -P2 -n 10 "
                               "sh -c 'find \"$@\" -type f -printf \"%%s %%T@\\n\"' _ >/dev/null"
                               % root, shell=True)
        results["find -printf, 2 at a time"] = (wall, rss)
        first = results["quorvex (first)"][0]
        for tool, (wall, rss) in results.items():
            rows.append((tree, tool, wall, files / wall, size / wall / 1e6, rss / 1024,
                         wall / first))
        if tree == "large":
            rate = size / results["quorvex (first)"][0]
            checks.append(("large: quorvex %.0f MB/s >= 70%% of openssl -multi 2 (%.0f MB/s)"
                           % (rate / 1e6, rate_openssl / 1e6), rate >= 0.7 * rate_openssl))
        peers = {t: w for t, (w, _) in results.items()}
        checks.append(("%s: first scan <= 0.6 x sha256deep" % tree,
                       first <= 0.6 * peers["sha256deep -r -j2 -m"]))
        if "clamscan -r" in peers:
            checks.append(("%s: first scan <= 0.2 x clamscan" % tree,
                           first <= 0.2 * peers["clamscan -r"]))
        if tree == "small":
            checks.append(("small: cached scan < 0.1 x first scan",
                           results["quorvex (cached)"][0] < 0.1 * first))
            checks.append(("small: peak RSS %.0f MiB < 200 MiB" % (results["quorvex (first)"][1]
                                                                   / 1024),
                           results["quorvex (first)"][1] < 200 * 1024))

    log("")
    log("%-6s %-28s %9s %10s %9s %9s %12s" % ("tree", "tool", "wall s", "files/s", "MB/s",
                                               "RSS MiB", "x quorvex"))
    for tree, tool, wall, fps, mbps, rss, ratio in rows:
        log("%-6s %-28s %9.2f %10.0f %9.1f %9.1f %12.2f" % (tree, tool, wall, fps, mbps, rss,
                                                            ratio))
    log("openssl speed -evp sha256 -multi 2 (16 KiB blocks): %.0f MB/s" % (rate_openssl / 1e6))
    log("")
    for text, ok in checks:
        log("%s  %s" % ("PASS" if ok else "FAIL", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
