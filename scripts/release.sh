#!/usr/bin/env bash
# Makes every artefact of a release in OUT (default release/):
#   stablomat-setup.exe             the Windows installer (per user, NSIS)
#   stablomat.zip, .minisig         the update archive and its signature (scripts/sign-release.sh)
#   stablomat_<version>_amd64.deb   the Debian package (+ its -dbgsym debug symbols)
#   SHA256SUMS                      the SHA-256 of each of them
# Usage: scripts/release.sh [OUT]; the signing key as for sign-release.sh ($STABLOMAT_SIGNING_KEY,
# then ~/.minisign/minisign.key), STABLOMAT_SIGNING_PUBKEY to verify the signature against.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/release}
win_build=${WINDOWS_BUILD_DIR:-$here/build-windows-release}
linux_build=${RELEASE_BUILD_DIR:-$here/build-release}
export DEBIAN_FRONTEND=noninteractive

"$here/scripts/install-deps.sh"
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/stablomat-setup.exe "$out"/stablomat.zip "$out"/stablomat.zip.minisig "$out"/stablomat_*.deb \
    "$out"/stablomat-dbgsym_*.ddeb "$out"/SHA256SUMS
# A shipped program has no test hooks (they would trust an update key named in the environment).
no_test_hooks() {
    if grep -q STABLOMAT_UPDATE_KEY_FILE "$1"; then
        echo "$1 was built with test hooks" >&2
        exit 1
    fi
}
version=$(sed -n 's/^project(stablomat VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")

# The Windows program, its installer and the update archive.
BUILD_DIR=$win_build bash "$here/scripts/build-windows.sh" --release --target stablomat
no_test_hooks "$win_build/stablomat.exe"
makensis -V2 -DVERSION="$version" -DPROGRAM="$win_build/stablomat.exe" -DOUTFILE="$out/stablomat-setup.exe" \
    "$here/packaging/windows/stablomat.nsi"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$win_build/stablomat.exe" "$stage/"
touch -d "@${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}" "$stage/stablomat.exe"
(cd "$stage" && zip -q -X "$out/stablomat.zip" stablomat.exe)
bash "$here/scripts/sign-release.sh" "$out/stablomat.zip" "${STABLOMAT_SIGNING_KEY:-$HOME/.minisign/minisign.key}" \
    ${STABLOMAT_SIGNING_PUBKEY:+"$STABLOMAT_SIGNING_PUBKEY"} >/dev/null

# The Debian package, as scripts/package-test.sh builds it.
cmake -S "$here" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTABLOMAT_WERROR=ON \
    -DSTABLOMAT_SANITIZE=OFF -DSTABLOMAT_BUILD_TESTS=OFF -DSTABLOMAT_TEST_HOOKS=OFF >/dev/null
cmake --build "$linux_build" -j"$(nproc)" --target stablomat
no_test_hooks "$linux_build/stablomat"
(cd "$linux_build" && rm -f stablomat_*.deb stablomat-dbgsym_*.ddeb && cpack -G DEB >/dev/null)
cp "$linux_build"/stablomat_*.deb "$out/"
cp "$linux_build"/stablomat-dbgsym_*.ddeb "$out/" 2>/dev/null || true

(cd "$out" && sha256sum stablomat-setup.exe stablomat.zip stablomat.zip.minisig stablomat_*.deb \
    $(ls stablomat-dbgsym_*.ddeb 2>/dev/null) >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l stablomat-setup.exe stablomat.zip stablomat.zip.minisig stablomat_*.deb SHA256SUMS)
