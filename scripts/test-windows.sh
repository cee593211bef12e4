#!/usr/bin/env bash
# Cross-builds quorvex.exe and its tests with mingw-w64 and runs them under Wine in a throw-away
# prefix. The wineserver is started persistent, holding none of ctest's pipes, before any test
# runs; otherwise every run waits seconds for it and some hang.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --windows
build=build-win
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DPython3_EXECUTABLE=/usr/bin/python3 "${launcher[@]}" >/dev/null
cmake --build "$build"

# A prefix costs about 700 MB: one made here is removed again; one named by WINEPREFIX is kept.
made_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$(mktemp -d /tmp/quorvex-wine.XXXXXX)
    made_prefix=$WINEPREFIX
fi
export WINEPREFIX
export WINEDEBUG=-all
unset DISPLAY
trap 'wineserver -k 2>/dev/null || true; if [ -n "$made_prefix" ]; then wineserver -w 2>/dev/null || true; rm -rf "$made_prefix"; fi' EXIT
timeout 300 wine wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
timeout 60 wine wineboot </dev/null >/dev/null 2>&1
timeout 2400 ctest --test-dir "$build" --output-on-failure
