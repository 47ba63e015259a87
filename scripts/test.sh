#!/usr/bin/env bash
# Installs what is needed, builds Stablomat with its tests and runs them all.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/scripts/install-deps.sh"
for s in "$here"/scripts/services/*.sh; do
    [ -e "$s" ] && bash "$s" start
done

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTABLOMAT_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$build
start_headless_tray
trap stop_headless_tray EXIT

status=0
(cd "$build" && ctest --output-on-failure --timeout 300 "$@") || status=$?
exit $status
