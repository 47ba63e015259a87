#!/usr/bin/env bash
# Installs everything Stablomat needs to build, run and test on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=(
    # build
    cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools clang-format libsodium-dev libminizip-dev
    # release signing and its tests (unzip tests the archive)
    minisign unzip
    # run: Qt plugins for SQLite and Firebird
    libqt5sql5-sqlite libqt5sql5-ibase libsodium23
    # reference herd registry and simulators
    libcpp-httplib-dev libssl-dev libsqlite3-dev zip openssl ca-certificates
    # headless GUI tests: virtual display, tray host, fonts, screenshots
    xvfb xauth x11-utils trayer python3 fonts-dejavu-core imagemagick xdotool
    # the Windows check of the sources; a Windows converter built and run under Wine in the tests
    g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 wine
    # the Windows installer
    nsis
    # fuzzing (libFuzzer comes with clang's runtime) and benchmarks
    clang-14 libclang-rt-14-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
