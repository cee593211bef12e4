#!/usr/bin/env python3
"""Generates the two folder trees the scan benchmark runs on, and the planted known-bad files.

small/: about 100,000 files of 1-64 KiB (log-uniform sizes, about 1.5 GB) in nested folders, with
        some text and log files and some tool folders (.git, node_modules, __pycache__) that a scan
        passes over.
large/: about 40 files of about 4 GiB in all.

Known-bad content is planted in both trees at places a scan must look, and copies of it at places
it must not (skipped extensions, tool folders). planted.json lists both kinds. A tree that is
already complete (its stamp file matches the parameters) is left as it is.
"""

import argparse
import hashlib
import json
import math
import os
import random
import shutil

SKIPPED_EXTENSIONS = [".txt", ".log", ".md"]
TOOL_FOLDERS = [".git", "node_modules", "__pycache__"]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Pool:
    """Random bytes to cut file contents from; each file gets a unique prefix."""

    def __init__(self, rng, size):
        self.data = rng.randbytes(size)
        self.rng = rng

    def content(self, serial, size):
        prefix = ("%012d|" % serial).encode()
        start = self.rng.randrange(len(self.data) - size + 1) if size <= len(self.data) else 0
        body = self.data[start:start + size - len(prefix)]
        while len(prefix) + len(body) < size:  # files larger than the pool repeat it
            body += self.data[:size - len(prefix) - len(body)]
        return prefix + body


def make_small(root, rng, files, planted_count):
    pool = Pool(rng, 64 << 20)
    planted, decoys = [], []
    serial = 0
    leaves = []
    top = max(1, files // 1000)
    for a in range(top):
        for b in range(10):
            leaves.append(os.path.join(root, "d%03d" % a, "s%02d" % b))
    per_leaf = max(1, files // len(leaves))
    total_bytes = 0
    for index, leaf in enumerate(leaves):
        # One leaf in twenty holds a tool folder; one file in twenty has a skipped extension.
        tool = TOOL_FOLDERS[index % len(TOOL_FOLDERS)] if index % 20 == 7 else None
        for i in range(per_leaf):
            size = int(round(math.exp(rng.uniform(math.log(1024), math.log(64 * 1024)))))
            if tool and i % 4 == 0:
                name = os.path.join(leaf, tool, "objects", "o%04d" % i)
            elif i % 20 == 3:
                name = os.path.join(leaf, "notes%04d%s" % (i, SKIPPED_EXTENSIONS[i % 3]))
            else:
                name = os.path.join(leaf, "f%04d.%s" % (i, ("bin", "exe", "dll", "jpg")[i % 4]))
            write(name, pool.content(serial, size))
            serial += 1
            total_bytes += size
    # Planted files replace nothing: they are extra files with content of their own.
    for n in range(planted_count):
        leaf = rng.choice(leaves)
        data = rng.randbytes(rng.randrange(2048, 65536))
        path = os.path.join(leaf, "planted%02d.exe" % n)
        write(path, data)
        planted.append(path)
        if n % 3 == 0:  # the same content where the scan must not look
            decoy = os.path.join(leaf, TOOL_FOLDERS[n % 3], "copy%02d.exe" % n)
            write(decoy, data)
            decoys.append(decoy)
            decoy = os.path.join(leaf, "copy%02d.log" % n)
            write(decoy, data)
            decoys.append(decoy)
    return planted, decoys


def make_large(root, rng, files, total, planted_count):
    pool = Pool(rng, 64 << 20)
    average = total // files
    sizes = [int(average * rng.uniform(0.5, 1.5)) for _ in range(files)]
    scale = total / sum(sizes)
    sizes = [int(s * scale) for s in sizes]
    planted = []
    for i, size in enumerate(sizes):
        sub = os.path.join(root, "set%d" % (i % 4))
        path = os.path.join(sub, "image%02d.%s" % (i, ("iso", "vhd", "bin", "exe")[i % 4]))
        os.makedirs(sub, exist_ok=True)
        with open(path, "wb") as f:
            prefix = ("%012d|" % i).encode()
            f.write(prefix)
            left = size - len(prefix)
            while left > 0:
                chunk = pool.data[:min(left, len(pool.data))]
                f.write(chunk)
                left -= len(chunk)
        if i < planted_count:
            planted.append(path)
    return planted, []


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True, help="folder that receives small/ and large/")
    parser.add_argument("--small-files", type=int, default=100000)
    parser.add_argument("--large-files", type=int, default=40)
    parser.add_argument("--large-bytes", type=int, default=4 << 30)
    parser.add_argument("--planted", type=int, default=24)
    args = parser.parse_args()

    stamp_path = os.path.join(args.data, "planted.json")
    parameters = {"small_files": args.small_files, "large_files": args.large_files,
                  "large_bytes": args.large_bytes, "planted": args.planted, "version": 1}
    if os.path.exists(stamp_path):
        with open(stamp_path) as f:
            if json.load(f).get("parameters") == parameters:
                print("trees already present in", args.data)
                return
    for tree in ("small", "large"):
        shutil.rmtree(os.path.join(args.data, tree), ignore_errors=True)
    rng = random.Random(20240229)
    result = {"parameters": parameters}
    small = make_small(os.path.join(args.data, "small"), rng, args.small_files, args.planted)
    large = make_large(os.path.join(args.data, "large"), rng, args.large_files, args.large_bytes,
                       max(1, args.planted // 10))
    for name, (planted, decoys) in (("small", small), ("large", large)):
        result[name] = {"planted": sorted(planted), "decoys": sorted(decoys),
                        "hashes": sorted({sha256_of(p) for p in planted})}
    with open(stamp_path, "w") as f:
        json.dump(result, f, indent=1)
    print("trees written to", args.data)


if __name__ == "__main__":
    main()
