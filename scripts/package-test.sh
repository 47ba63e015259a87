#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, starts the installed program from its desktop
# entry under a virtual display with a tray host and checks that its window comes up.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${RELEASE_BUILD_DIR:-$here/build-release}
export DEBIAN_FRONTEND=noninteractive

"$here/scripts/install-deps.sh"
dpkg-query -W -f='${Status}' desktop-file-utils 2>/dev/null | grep -q "install ok installed" ||
    apt-get install -y -qq --no-install-recommends desktop-file-utils dpkg-dev >/dev/null
# A release: no tests, so no test hooks in the program.
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTABLOMAT_WERROR=ON -DSTABLOMAT_SANITIZE=OFF \
    -DSTABLOMAT_BUILD_TESTS=OFF -DSTABLOMAT_TEST_HOOKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target stablomat zavra-registry
(cd "$build" && rm -f stablomat_*.deb stablomat-dbgsym_*.ddeb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/stablomat_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --field "$deb" Depends
# Debian's own checks: no error allowed (warnings are shown).
command -v lintian >/dev/null || apt-get install -y -qq --no-install-recommends lintian >/dev/null
lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" "$build"/stablomat-dbgsym_*.ddeb
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
    # Keeps the script's own status; a process that has already ended is no failure here.
    local status=$?
    set +e
    [ -n "${app_pid:-}" ] && pkill -P "$app_pid" 2>/dev/null; kill "${app_pid:-}" 2>/dev/null
    [ -n "${registry_pid:-}" ] && kill "$registry_pid" 2>/dev/null
    stop_headless_tray
    rm -rf "$home"
    # Leave the machine as it was: the package was only installed to be tried.
    [ -n "${KEEP_PACKAGE:-}" ] || apt-get remove -y -qq stablomat >/dev/null 2>&1
    exit $status
}
trap cleanup EXIT

# An update server announcing a newer version: an installed program must not replace itself.
"$build/simulators/bin/zavra-registry" add-farm --db "$home/registry.db" --cloud 1 >/dev/null 2>&1 || true
"$build/simulators/bin/zavra-registry" serve --db "$home/registry.db" --port 0 \
    --update-reply "x,x,x,1.04,http://127.0.0.1:9/update/stablomat.zip" >"$home/registry.log" 2>&1 &
registry_pid=$!
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on //p' "$home/registry.log")
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "the update server did not start" >&2; exit 1; }

# Start it the way a desktop would: the Exec line of the entry, from the search path.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
(cd "$home" && HOME=$home XDG_CONFIG_HOME=$home/.config WINEPREFIX=$home/.wine \
    STABLOMAT_UPDATE_URL=http://127.0.0.1:$port $exec_line >"$home/out.log" 2>&1) &
app_pid=$!
passed=0
failed=0
# Without its test hooks the program cannot be told to trust another update key.
if grep -q STABLOMAT_UPDATE_KEY_FILE /usr/bin/stablomat; then
    echo "the installed program reads STABLOMAT_UPDATE_KEY_FILE" >&2
    failed=$((failed + 1))
else
    echo "the installed program ignores STABLOMAT_UPDATE_KEY_FILE"
    passed=$((passed + 1))
fi
up=no
for _ in $(seq 1 300); do # a loaded machine may need a while to start it
    if xdotool search --name "^Stablomat 1.03 - Delaval, Wesfalia$" >/dev/null 2>&1; then
        up=yes
        break
    fi
    sleep 0.1
done
if [ $up = yes ]; then
    echo "the installed program is up"
    passed=$((passed + 1))
else
    echo "the installed program did not show its window" >&2
    failed=$((failed + 1))
fi

# The announced update gives a notice box titled "Stablomat", and the program keeps running.
notice=no
for _ in $(seq 1 300); do
    if xdotool search --name "^Stablomat$" >/dev/null 2>&1; then
        notice=yes
        break
    fi
    sleep 0.1
done
import -window root "$build/package-test.png" 2>/dev/null || true
if [ $notice = yes ] && kill -0 "$app_pid" 2>/dev/null && [ ! -e /usr/bin/upgrade.sh ]; then
    echo "the update notice is shown, nothing was downloaded, the program runs on (screenshot: $build/package-test.png)"
    passed=$((passed + 1))
else
    echo "no update notice, or the program ended or wrote an update script (notice=$notice)" >&2
    failed=$((failed + 1))
fi
kill "$registry_pid" 2>/dev/null || true
[ $failed -eq 0 ] || cat "$home/out.log" >&2
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
