#!/bin/sh
# Runs the hash database benchmarks and compares file hashing with OpenSSL's single-core SHA-256.
# Usage: bench/hashdb_bench.sh [build folder]   (QUORVEX_BENCH_FILE_MB sets the hashed file's size)
# Both rates are per CPU second of the measuring thread (openssl speed divides by user CPU time), so
# other load on the machine does not skew the ratio.
set -eu

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$source_dir/build-bench}"

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEX_BUILD_BENCH=ON -DQUORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target hashdb_bench >/dev/null

results="$build_dir/hashdb_bench.json"
"$build_dir/bench/hashdb_bench" --benchmark_out="$results" --benchmark_out_format=json
openssl_rate="$(openssl speed -mr -seconds 3 -bytes 16384 -evp sha256 2>/dev/null |
    awk -F: '/^\+F:/ { print $4 }')"

python3 - "$results" "$openssl_rate" <<'PY'
import json, sys
results = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
openssl = float(sys.argv[2])
ours = next(b for n, b in results.items() if n.startswith("BM_ComputeFileHash"))["bytes_per_second"]
print()
print(f"compute_file_hash          {ours / 1e6:9.1f} MB/s")
print(f"openssl speed sha256 16KiB {openssl / 1e6:9.1f} MB/s (single core)")
print(f"ratio                      {100 * ours / openssl:9.1f} %")
for name in ("BM_CacheLookupHit", "BM_CacheStoreUpdate", "BM_CacheStoreAppend"):
    rows = [(n, b) for n, b in results.items() if n.startswith(name + "/")]
    print(name + ": " + ", ".join(
        f"{n.split('/')[1]} entries {b['items_per_second'] / 1e3:.0f}k/s" for n, b in rows))
for n, b in results.items():
    if n.startswith("BM_CacheLoad/"):
        print(f"BM_CacheLoad: {n.split('/')[1]} entries in {b['real_time']:.1f} {b['time_unit']}")
for name in ("BM_ConvertTextToBinary", "BM_LoadBinary"):
    b = results[name]
    print(f"{name}: {b['real_time']:.1f} {b['time_unit']} wall, {b['cpu_time']:.1f} {b['time_unit']} CPU"
          f" for {int(b['hashes'])} hashes")
print(f"BM_Contains: {results['BM_Contains']['items_per_second'] / 1e6:.2f} M lookups/s at 10^6 records")
PY
