#!/usr/bin/env bash
# Signs a release archive for the self-update: writes ARCHIVE.minisig beside it, to be published
# at the archive's address + ".minisig". The maker's secret key stays with the maker and is never
# put into this repository; the program trusts the public key built into update/signature.cpp.
# Usage: scripts/sign-release.sh ARCHIVE [SECRET_KEY [PUBLIC_KEY]]
#   SECRET_KEY defaults to $STABLOMAT_SIGNING_KEY, then ~/.minisign/minisign.key;
#   with PUBLIC_KEY the new signature is verified against it.
set -euo pipefail
usage="usage: sign-release.sh ARCHIVE [SECRET_KEY [PUBLIC_KEY]]"
archive=${1:?$usage}
secret=${2:-${STABLOMAT_SIGNING_KEY:-$HOME/.minisign/minisign.key}}
public=${3:-}

for tool in minisign unzip; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (scripts/install-deps.sh)" >&2; exit 1; }
done
# The program refuses an archive that does not test as a zip.
unzip -tqq "$archive" </dev/null >/dev/null || { echo "$archive is not a sound zip archive" >&2; exit 1; }
minisign -S -s "$secret" -m "$archive" -x "$archive.minisig" >/dev/null
if [ -n "$public" ]; then
    minisign -V -q -p "$public" -m "$archive" -x "$archive.minisig"
fi
echo "$archive.minisig"
