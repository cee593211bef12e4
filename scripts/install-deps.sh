#!/usr/bin/env bash
# Installs, as root on Debian 12, whatever the build and its tests need and is not there yet.
#   scripts/install-deps.sh            the native build and its tests
#   scripts/install-deps.sh --windows  also the mingw-w64 cross-compiler and Wine
#   scripts/install-deps.sh --ci       everything CI runs (sanitizers, fuzzing, Windows)
#   scripts/install-deps.sh --bench    also the peers the scan benchmark compares against
set -euo pipefail

packages=(g++ cmake ninja-build ccache libgtest-dev googletest libssl-dev libcurl4-openssl-dev
          libcli11-dev nlohmann-json3-dev libyara-dev yara pkg-config python3 openssl faketime
          util-linux)
for arg in "$@"; do
    case "$arg" in
        --windows) packages+=(g++-mingw-w64-x86-64-posix wine64) ;;
        --ci) packages+=(g++-mingw-w64-x86-64-posix wine64 clang libclang-rt-14-dev libbenchmark-dev) ;;
        --bench) packages+=(hashdeep clamav) ;;
        *) echo "unknown option $arg" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
fi
