#!/usr/bin/env bash
# Installs what is missing, builds quorvex with its tests and runs them all (unit and end-to-end).
#   scripts/test.sh                     native build in build/
#   QUORVEX_SANITIZE=address|thread     the same under a sanitizer, in build-<name>/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sanitize=${QUORVEX_SANITIZE:-}
build=build${sanitize:+-$sanitize}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_SANITIZE="$sanitize" \
    -DPython3_EXECUTABLE=/usr/bin/python3 "${launcher[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
