#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, starts the installed program from its desktop
# entry under a virtual display with a tray host and checks that its window comes up.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
export DEBIAN_FRONTEND=noninteractive

"$here/scripts/install-deps.sh"
dpkg-query -W -f='${Status}' desktop-file-utils 2>/dev/null | grep -q "install ok installed" ||
    apt-get install -y -qq --no-install-recommends desktop-file-utils dpkg-dev >/dev/null
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target stablomat
(cd "$build" && rm -f stablomat_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/stablomat_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --field "$deb" Depends
apt-get install -y -qq "$deb" >/dev/null

desktop=/usr/share/applications/stablomat.desktop
desktop-file-validate "$desktop"
test -x /usr/bin/stablomat
test -f /usr/share/icons/hicolor/64x64/apps/stablomat.png

# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$build
start_headless_tray
home=$(mktemp -d)
cleanup() {
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null
    stop_headless_tray
    rm -rf "$home"
    # Leave the machine as it was: the package was only installed to be tried.
    [ -n "${KEEP_PACKAGE:-}" ] || apt-get remove -y -qq stablomat >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Start it the way a desktop would: the Exec line of the entry, from the search path.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
(cd "$home" && HOME=$home XDG_CONFIG_HOME=$home/.config WINEPREFIX=$home/.wine \
    STABLOMAT_UPDATE_URL=http://127.0.0.1:9 $exec_line >"$home/out.log" 2>&1) &
app_pid=$!
for _ in $(seq 1 100); do
    if xdotool search --name "^Stablomat 1.03 - Delaval, Wesfalia$" >/dev/null 2>&1; then
        echo "the installed program is up: window \"$(xdotool search --name '^Stablomat 1.03' getwindowname)\""
        echo "1 passed, 0 failed"
        exit 0
    fi
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
echo "the installed program did not show its window" >&2
cat "$home/out.log" >&2
echo "0 passed, 1 failed"
exit 1
