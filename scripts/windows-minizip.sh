#!/usr/bin/env bash
# minizip for the Windows program: the self-update unpacks and tests its archive with it, and the
# tests write theirs. Builds minizip (unzip.c, ioapi.c, zip.c from Debian's "minizip" source
# package, zlib's contrib) as a static library with MinGW-w64 and installs it with Debian's static
# zlib for MinGW (libz-mingw-w64-dev) into the Windows SDK's prefix, with pkg-config files, so that
# the cross-build finds both as on Linux. Nothing is done when they are there already.
#   scripts/windows-minizip.sh PREFIX        (PREFIX: the SDK's prefix, as scripts/windows-sdk.sh prints)
set -euo pipefail
prefix=$(cd "${1:?the Windows SDK prefix}" && pwd)
cross=x86_64-w64-mingw32
[ -f "$prefix/lib/libminizip.a" ] && [ -f "$prefix/lib/pkgconfig/minizip.pc" ] && [ -f "$prefix/include/minizip/zip.h" ] && exit 0
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in libz-mingw-w64-dev gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's source index through a private apt list; the machine's own lists stay as they are.
uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$uri" ] || uri=http://deb.debian.org/debian
mkdir -p "$work/lists/partial"
{
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${uri%/debian}/debian-security bookworm-security main"
} >"$work/src.list"
apto=(-o Dir::Etc::SourceList="$work/src.list" -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$work/lists")
apt-get "${apto[@]}" update >/dev/null 2>&1 || echo "windows-minizip: the source index was not fully updated" >&2
(cd "$work" && apt-get "${apto[@]}" source --download-only minizip >/dev/null 2>&1)
(cd "$work" && dpkg-source -x minizip_*.dsc src >/dev/null 2>&1) # with Debian's patches (CVE-2023-45853)

# The reader alone; encrypted members are refused anyway (NOUNCRYPT).
mkdir -p "$prefix/lib/pkgconfig" "$prefix/include/minizip"
# The zip writer is for the tests' archives (an encrypted member among them).
for f in unzip ioapi zip; do
    "$cross-gcc-posix" -O2 -DNOUNCRYPT -I"/usr/$cross/include" -c "$work/src/$f.c" -o "$work/$f.o"
done
rm -f "$prefix/lib/libminizip.a"
"$cross-ar" rcs "$prefix/lib/libminizip.a" "$work/unzip.o" "$work/ioapi.o" "$work/zip.o"
cp "$work/src/unzip.h" "$work/src/ioapi.h" "$work/src/zip.h" "$prefix/include/minizip/"
# zlib: the static library only, so that the program imports no zlib1.dll.
cp "/usr/$cross/lib/libz.a" "$prefix/lib/"
cp "/usr/$cross/include/zlib.h" "/usr/$cross/include/zconf.h" "$prefix/include/"
cat >"$prefix/lib/pkgconfig/zlib.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zlib
Description: zlib compression library (Debian's libz-mingw-w64-dev, static)
Version: $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
EOF
cat >"$prefix/lib/pkgconfig/minizip.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include/minizip

Name: minizip
Description: minizip's zip reader and writer (Debian's minizip source), static
Version: 1.1
Requires: zlib
Libs: -L\${libdir} -lminizip
Cflags: -I\${includedir}
EOF
echo "windows-minizip: minizip and zlib installed into $prefix" >&2
