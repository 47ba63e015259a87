#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and runs them under Wine on a
# virtual display with a tray host: the tests that need no window as Windows programs, each in a
# fresh Wine prefix, and the program end to end (tst_wineprogram of the Linux build), the installer
# included. Further arguments go to ctest.
#   HOST_BUILD_DIR   the Linux build (default build/), whose registry, farm tool and test driver are used
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
host_build=${HOST_BUILD_DIR:-$here/build}
build=${BUILD_DIR:-$here/build-windows}
start=$SECONDS

"$here/scripts/install-deps.sh"
# The Linux side of the tests.
cmake -S "$here" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTABLOMAT_WERROR=ON \
    -DSTABLOMAT_SANITIZE=OFF >/dev/null
nice cmake --build "$host_build" -j"$(nproc)" --target tst_wineprogram
HOST_BUILD_DIR=$host_build BUILD_DIR=$build bash "$here/scripts/build-windows.sh"
echo "Windows build: $((SECONDS - start)) s"

# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$build
start_headless_tray
trap stop_headless_tray EXIT
status=0
(cd "$build" && ctest --output-on-failure --timeout 900 -j"${TEST_JOBS:-$(nproc)}" "$@") || status=$?
echo "Windows build and tests: $((SECONDS - start)) s"
exit $status
