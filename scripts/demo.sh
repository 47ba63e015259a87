#!/usr/bin/env bash
# Builds Stablomat and starts it. Without a desktop it brings its own virtual display and tray.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target stablomat

if [ -z "${DISPLAY:-}" ]; then
    # shellcheck source=headless-tray.sh
    source "$here/scripts/headless-tray.sh"
    export HEADLESS_LOG_DIR=$build
    start_headless_tray
    trap stop_headless_tray EXIT
    echo "Stablomat runs on the virtual display $DISPLAY (screenshot: DISPLAY=$DISPLAY import -window root shot.png)"
fi
"$build/stablomat"
