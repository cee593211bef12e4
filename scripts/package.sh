#!/usr/bin/env bash
# Builds the Debian package: dist/quorvex_<version>_amd64.deb, with its data in /var/lib/quorvex.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build-package
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DQUORVEX_DATA_DIR=/var/lib/quorvex "${launcher[@]}" >/dev/null
cmake --build "$build"
mkdir -p dist
(cd "$build" && cpack -G DEB -B "$PWD/../dist" >/dev/null)
rm -rf dist/_CPack_Packages
ls dist/quorvex_*_amd64.deb
