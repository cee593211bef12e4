#!/usr/bin/env python3
"""Scan benchmark: quorvex against sha256deep, clamscan and find | xargs sha256sum.

    bench/scan_bench.py --exe build/app/quorvex [--data /work/bench-data] [--cold]
    bench/scan_bench.py --exe build/app/quorvex --cold-only

Warm section. Generates (once) a tree of about 100,000 small files and one of about 40 large files
with bench/make_scan_trees.py, a database of 10^6 random hashes plus the planted files' hashes,
and the same hashes as a sha256deep match list and a clamscan .hsb database. With the page cache
warm it runs, per tree: `quorvex scan --json` (first with an empty hash cache, then again with the
cache the first run saved), the same first scan once through the menu by piped keystrokes (the two
front ends share one scan, so they should cost the same), the first and cached scans again with
the --candidate-jobs value and every one of --warm-jobs, `sha256deep -r -j2 -m`, `clamscan -r` and
`find | xargs -P2 sha256sum` and, as the floor of a rescan, `find -printf` of every file's size and
time, each under /usr/bin/time for peak RSS. It prints a table with files/s, MB/s and each row's
time relative to quorvex's first scan, checks that every quorvex run found exactly the planted
files, and compares the large-tree rate with `openssl speed -multi 2`.

Cold section (--cold or --cold-only; root only, it writes /proc/sys/vm/drop_caches). On a real
tree (--cold-root, /usr) it drops the page cache (`sync; echo 3 > drop_caches`) before every run
and times `quorvex scan --json --no-cache --all-files` with each `--jobs` value of --cold-jobs, one
run with the default filters, `sha256deep -r -j2`, `find | xargs -P2 sha256sum` and the read floor
`find | xargs -0 -P16 -n256 cat` (and -P2 for scale). Every row is shown as a ratio to the 16-reader
floor of the same run, with what it read: quorvex's own counts from its summary, the peers' from
their output.

--all-files in the cold sweep: sha256sum and cat read every regular file, sha256deep every file;
the default filters would spare quorvex the .txt/.md/.log files and the marked folders and make it
look faster than it is. Links: quorvex scans a link to a file as that file and sha256deep follows
links to files and folders, while `find -type f` passes over links, so on a tree with links the
file and byte counts differ; the table shows them.
"""

import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RANDOM_HASHES = 10 ** 6
DROP_CACHES = "/proc/sys/vm/drop_caches"
# Custom scan, no heuristics, no signatures; list the malicious files; Enter; exit.
MENU_KEYS = "1\n3\n0\n0\n%s\n2\n\n5\n"


def log(*parts):
    print(*parts, flush=True)


def timed(command, stdin=None, cwd=None, shell=False):
    """Runs the command under /usr/bin/time; returns (wall seconds, peak RSS KiB, stdout)."""
    time_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), "scan_bench_time.%d" % os.getpid())
    if shell:
        command = ["bash", "-o", "pipefail", "-c", command]
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
    return wall, int(rss), completed.stdout.decode("utf-8", "surrogateescape")


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


def drop_caches():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def can_drop_caches():
    return os.geteuid() == 0 and os.access(DROP_CACHES, os.W_OK)


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


def install_quorvex(exe, data, database):
    """A folder with the executable and its database, as an installed copy has them."""
    install = os.path.join(data, "install")
    shutil.rmtree(install, ignore_errors=True)
    os.makedirs(install)
    shutil.copy2(exe, os.path.join(install, "quorvex"))
    shutil.copy2(database, os.path.join(install, "hashes.txt"))
    # The first start converts hashes.txt into hashes.bin; the timed runs then load the binary.
    subprocess.run([os.path.join(install, "quorvex"), "scan", "--no-cache", "--quiet", HERE],
                   cwd=install, stdout=subprocess.DEVNULL, check=False)
    if not os.path.exists(os.path.join(install, "hashes.bin")):
        sys.exit("quorvex did not write hashes.bin in " + install)
    return install


def forget_cache(install):
    for name in os.listdir(install):
        if name == "hash_cache.bin" or name.startswith("hash_cache.bin."):
            os.unlink(os.path.join(install, name))


def parse_json_lines(out):
    """(sorted finding paths, summary record) of `quorvex scan --json` output."""
    found, summary = [], None
    for line in out.splitlines():
        record = json.loads(line)
        if record["type"] == "finding":
            found.append(record["path"])
        elif record["type"] == "summary":
            summary = record
    return sorted(found), summary


def quorvex_batch(install, roots, first=True, jobs=None, extra=()):
    """Times `quorvex scan --json`; returns (wall, rss, found, summary)."""
    if first:
        forget_cache(install)
    command = [os.path.join(install, "quorvex"), "scan", "--json"] + list(extra)
    if jobs is not None:
        command += ["--jobs", str(jobs)]
    wall, rss, out = timed(command + list(roots), cwd=install)
    found, summary = parse_json_lines(out)
    if summary is None:
        sys.exit("quorvex scan printed no summary:\n" + out[-2000:])
    return wall, rss, found, summary


def quorvex_menu(install, root):
    """Times a first custom scan through the menu's keystrokes; returns (wall, rss, found)."""
    forget_cache(install)
    wall, rss, out = timed([os.path.join(install, "quorvex")],
                           stdin=(MENU_KEYS % root).encode(), cwd=install)
    listing = out.rsplit("MALICIOUS FILES DETECTED (", 1)[-1].split("RECOMMENDATION", 1)[0]
    return wall, rss, sorted(re.findall(r"^\d+\. (.*)$", listing, re.M))


def openssl_two_core_rate():
    out = subprocess.run(["openssl", "speed", "-mr", "-multi", "2", "-seconds", "3", "-bytes",
                          "16384", "-evp", "sha256"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout.decode()
    lines = [l for l in out.splitlines() if l.startswith("+F:")]
    return float(lines[-1].split(":")[3])


def warm_section(args, dbs, planted, install):
    rows = []
    checks = []
    rate_openssl = openssl_two_core_rate()
    for tree in ("small", "large"):
        root = os.path.join(args.data, tree)
        files, size = tree_size(root)
        log("== %s tree: %d files, %.2f GB; warming the page cache" % (tree, files, size / 1e9))
        warm(root)
        expected = sorted(planted[tree]["planted"])
        results = {}

        def batch_pair(label, jobs):
            wall, rss, found, summary = quorvex_batch(install, [root], first=True, jobs=jobs)
            results["%s (first)" % label] = (wall, rss)
            checks.append(("%s: %s found exactly the %d planted files"
                           % (tree, label, len(expected)), found == expected))
            if found != expected:
                log("   expected", expected, "\n   found", found)
            wall, rss, found, summary = quorvex_batch(install, [root], first=False, jobs=jobs)
            results["%s (cached)" % label] = (wall, rss)
            checks.append(("%s: %s cached scan finds the same files, %d of %d from the cache"
                           % (tree, label, summary["cache_hits"], summary["files_scanned"]),
                           found == expected))

        batch_pair("quorvex scan", None)
        wall, rss, found = quorvex_menu(install, root)
        results["quorvex menu (first)"] = (wall, rss)
        checks.append(("%s: the menu's scan found exactly the planted files" % tree,
                       found == expected))
        for jobs in sorted(set([args.candidate_jobs] + args.warm_jobs)):
            batch_pair("quorvex scan --jobs %d" % jobs, jobs)

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
        first = results["quorvex scan (first)"][0]
        for tool, (wall, rss) in results.items():
            rows.append((tree, tool, wall, files / wall, size / wall / 1e6, rss / 1024,
                         wall / first))
        menu = results["quorvex menu (first)"][0]
        checks.append(("%s: menu and batch first scans cost the same (menu %.2f s, batch %.2f s)"
                       % (tree, menu, first), abs(menu - first) <= 0.15 * first))
        if tree == "large":
            rate = size / first
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
                           results["quorvex scan (cached)"][0] < 0.1 * first))
            checks.append(("small: peak RSS %.0f MiB < 200 MiB"
                           % (results["quorvex scan (first)"][1] / 1024),
                           results["quorvex scan (first)"][1] < 200 * 1024))

    log("")
    log("Warm page cache")
    log("%-6s %-34s %9s %10s %9s %9s %10s" % ("tree", "tool", "wall s", "files/s", "MB/s",
                                               "RSS MiB", "x first"))
    for tree, tool, wall, fps, mbps, rss, ratio in rows:
        log("%-6s %-34s %9.2f %10.0f %9.1f %9.1f %10.2f" % (tree, tool, wall, fps, mbps, rss,
                                                            ratio))
    log("(x first: relative to 'quorvex scan (first)' at the default worker count)")
    log("openssl speed -evp sha256 -multi 2 (16 KiB blocks): %.0f MB/s" % (rate_openssl / 1e6))
    return checks


def count_lines(text):
    return int(text.split()[-1]) if text.strip() else 0


def cold_section(args, install):
    """Every run from a dropped page cache; returns the checks."""
    root = args.cold_root
    quoted = "'%s'" % root
    log("== cold %s: counting what find sees" % root)
    regular = subprocess.run("find %s -type f -printf '%%s\\n'" % quoted, shell=True,
                             stdout=subprocess.PIPE, check=True).stdout.split()
    regular_files, regular_bytes = len(regular), sum(int(s) for s in regular)

    # name -> (command, how to read (files, bytes) from its output)
    def quorvex_run(jobs, all_files=True):
        def run():
            extra = ["--no-cache"] + (["--all-files"] if all_files else [])
            wall, rss, _, summary = quorvex_batch(install, [root], first=False, jobs=jobs,
                                                  extra=extra)
            return wall, rss, summary["files_scanned"], summary["bytes_scanned"], \
                summary["errors"]
        return run

    def shell_run(command, files_from_output, files=None, size=None):
        def run():
            wall, rss, out = timed(command, shell=True)
            return wall, rss, count_lines(out) if files_from_output else files, size, None
        return run

    floor16 = "read floor: find | xargs -P16 cat"
    runs = [("quorvex scan --all-files --jobs %d" % j, quorvex_run(j)) for j in args.cold_jobs]
    runs.append(("quorvex scan (default filters) --jobs %d" % args.candidate_jobs,
                 quorvex_run(args.candidate_jobs, all_files=False)))
    runs += [
        ("sha256deep -r -j2",
         shell_run("sha256deep -r -j2 %s | wc -l" % quoted, True)),
        ("find | xargs -P2 sha256sum",
         shell_run("find %s -type f -print0 | xargs -0 -P2 -n 256 sha256sum | wc -l" % quoted,
                   True, size=regular_bytes)),
        ("read floor: find | xargs -P2 cat",
         shell_run("find %s -type f -print0 | xargs -0 -P2 -n256 cat > /dev/null" % quoted,
                   False, regular_files, regular_bytes)),
        (floor16,
         shell_run("find %s -type f -print0 | xargs -0 -P16 -n256 cat > /dev/null" % quoted,
                   False, regular_files, regular_bytes)),
    ]
    # Round after round of every run, so a burst of other load spoils a round, not one tool.
    measured = {name: [] for name, _ in runs}
    for round_number in range(args.cold_rounds):
        for name, run in runs:
            drop_caches()
            result = run()
            measured[name].append(result)
            log("   round %d: %-42s %7.2f s" % (round_number + 1, name, result[0]))

    def median_row(name):
        results = measured[name]
        walls = [r[0] for r in results]
        return (statistics.median(walls), max(r[1] for r in results)) + results[-1][2:]

    floor = median_row(floor16)[0]
    log("")
    log("Cold page cache (sync; echo 3 > %s before every run), %s: %d regular files, %.2f GB"
        % (DROP_CACHES, root, regular_files, regular_bytes / 1e9))
    if args.cold_rounds > 1:
        log("(median of %d rounds)" % args.cold_rounds)
    log("%-42s %8s %9s %8s %9s %8s %7s" % ("tool", "wall s", "x floor16", "files", "GB read",
                                           "RSS MiB", "errors"))
    walls = {}
    for name, _ in runs:
        wall, rss, files, size, errors = median_row(name)
        walls[name] = wall
        log("%-42s %8.2f %9.2f %8s %9s %8.1f %7s"
            % (name, wall, wall / floor, files if files is not None else "?",
               "%.2f" % (size / 1e9) if size is not None else "?", rss / 1024,
               errors if errors is not None else "-"))
    log("(x floor16: relative to the 16-reader read floor of this run; sha256deep's bytes are not "
        "counted)")
    checks = []
    candidate = "quorvex scan --all-files --jobs %d" % args.candidate_jobs
    if candidate in walls:
        checks.append(("cold %s: %s %.2f s <= 1.2 x the 16-reader floor %.2f s"
                       % (root, candidate, walls[candidate], floor),
                       walls[candidate] <= 1.2 * floor))
    return checks


def job_list(text):
    return [int(j) for j in text.split(",") if j]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="the native quorvex executable")
    parser.add_argument("--data", default="/work/bench-data")
    parser.add_argument("--skip-clamscan", action="store_true")
    parser.add_argument("--candidate-jobs", type=int, default=8,
                        help="the --jobs value proposed as the default: the warm trees are also "
                             "scanned with it, the cold section also with the default filters, and "
                             "the 1.2 x floor check is made for it")
    parser.add_argument("--warm-jobs", type=job_list, default=[],
                        help="further --jobs values for the warm trees, comma-separated")
    parser.add_argument("--cold", action="store_true",
                        help="also the page-cache-cold section (root: drops the page cache)")
    parser.add_argument("--cold-only", action="store_true", help="only the cold section")
    parser.add_argument("--cold-root", default="/usr")
    parser.add_argument("--cold-jobs", type=job_list, default=[1, 2, 4, 8, 16])
    parser.add_argument("--cold-rounds", type=int, default=1)
    args = parser.parse_args()
    cold = args.cold or args.cold_only
    if cold and not can_drop_caches():
        sys.exit("the cold section needs root and a writable " + DROP_CACHES)

    os.makedirs(args.data, exist_ok=True)
    planted_file = os.path.join(args.data, "planted.json")
    if not args.cold_only:
        log("== generating trees (once)")
        subprocess.run([sys.executable, os.path.join(HERE, "make_scan_trees.py"), "--data",
                        args.data], check=True)
    planted = json.load(open(planted_file)) if os.path.exists(planted_file) else None
    all_hashes = planted["small"]["hashes"] + planted["large"]["hashes"] if planted else []
    log("== databases: %d random hashes + %d planted" % (RANDOM_HASHES, len(all_hashes)))
    dbs = write_databases(args.data, all_hashes)
    install = install_quorvex(args.exe, args.data, dbs["txt"])

    checks = []
    if not args.cold_only:
        checks += warm_section(args, dbs, planted, install)
    if cold:
        checks += cold_section(args, install)
    log("")
    for text, ok in checks:
        log("%s  %s" % ("PASS" if ok else "FAIL", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
