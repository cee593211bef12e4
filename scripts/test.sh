#!/usr/bin/env bash
# Installs what is missing, builds quorvex with its tests and runs them all (unit and end-to-end).
#   scripts/test.sh                     native build in build/
#   QUORVEX_SANITIZE=address|thread     the same under a sanitizer, in build-<name>/
# The native build is a Release build, the build type a packager uses; the sanitizer builds keep
# their debug information for readable reports. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sanitize=${QUORVEX_SANITIZE:-}
build=build${sanitize:+-$sanitize}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
build_type=Release
[ -n "$sanitize" ] && build_type=RelWithDebInfo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DQUORVEX_SANITIZE="$sanitize" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 "${launcher[@]}" \
    >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
