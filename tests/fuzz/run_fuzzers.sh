#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one for a while.
# Usage: tests/fuzz/run_fuzzers.sh [seconds per target, default 60] [build folder]
# Exits non-zero when a target fails to build or finds a crash, leak or time-out.
set -eu

seconds="${1:-60}"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${2:-$source_dir/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_FUZZ=ON -DQUORVEX_BUILD_TESTS=ON \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null

targets=""
for source in "$source_dir"/tests/fuzz/*_fuzz.cpp; do
    targets="$targets $(basename "$source" .cpp)"
done
# shellcheck disable=SC2086
cmake --build "$build_dir" --target $targets

status=0
for target in $targets; do
    work="$build_dir/fuzz-work/$target"
    mkdir -p "$work/corpus"
    echo "== $target: ${seconds}s"
    # -rss_limit_mb and -malloc_limit_mb turn an oversized allocation into a failure.
    # New inputs go to the first folder; the committed data files seed the search.
    if ! "$build_dir/tests/fuzz/$target" "$work/corpus" "$source_dir/tests/hashdb/data" -max_total_time="$seconds" \
            -max_len=4096 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 \
            -artifact_prefix="$work/" -print_final_stats=1 2>"$work/log.txt"; then
        tail -n 40 "$work/log.txt"
        echo "== $target FAILED (crash input in $work/)"
        status=1
    else
        grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$work/log.txt" || true
    fi
done
exit $status
