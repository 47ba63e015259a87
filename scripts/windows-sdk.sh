#!/usr/bin/env bash
# The Windows SDK: a static Qt 5.15 for 64-bit Windows (with OpenSSL and libsodium) plus Qt's QIBASE
# driver built against Debian's Firebird headers, in a cache folder. Prints the SDK's prefix.
#   scripts/windows-sdk.sh [TARBALL]
# TARBALL (default: ../shared/windows-sdk/stablomat-windows-sdk.tar.xz beside the repository) is
# unpacked; without one the SDK is built from Debian's source packages (about an hour on two cores).
# The cache folder is $STABLOMAT_WINDOWS_SDK, default ~/.cache/stablomat/windows-sdk.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${STABLOMAT_WINDOWS_SDK:-$HOME/.cache/stablomat/windows-sdk}
tarball=${1:-}
[ -n "$tarball" ] || tarball=$here/../shared/windows-sdk/stablomat-windows-sdk.tar.xz
jobs=${JOBS:-2}
cross=x86_64-w64-mingw32
prefix=$cache/prefix
export DEBIAN_FRONTEND=noninteractive

say() { echo "windows-sdk: $*" >&2; }

need_packages() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# Debian's source packages through a private apt list (the machine's own lists stay as they are).
apt_dir=$cache/apt
apto=(-o Dir::Etc::SourceList="$apt_dir/src.list" -o Dir::Etc::SourceParts=/dev/null
      -o Dir::State::Lists="$apt_dir/lists")
source_index() {
    [ -f "$apt_dir/updated" ] && return 0
    local uri
    mkdir -p "$apt_dir/lists/partial"
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
    [ -n "$uri" ] || uri=http://deb.debian.org/debian
    {
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main"
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${uri%/debian}/debian-security bookworm-security main"
    } >"$apt_dir/src.list"
    apt-get "${apto[@]}" update >/dev/null 2>&1 || say "the source index was not fully updated"
    touch "$apt_dir/updated"
}
fetch_source() { # package dir: downloads the source package into dir
    source_index
    mkdir -p "$2"
    (cd "$2" && apt-get "${apto[@]}" source --download-only "$1" >/dev/null 2>&1)
}

tools() { # the MinGW compilers with posix threads under their plain names
    need_packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 \
        dpkg-dev perl python3 make xz-utils autoconf automake libtool cmake firebird-dev
    mkdir -p "$cache/bin"
    local t
    for t in gcc g++ c++ cpp; do ln -sf "/usr/bin/$cross-$t-posix" "$cache/bin/$cross-$t"; done
    ln -sf "/usr/bin/$cross-g++-posix" "$cache/bin/$cross-c++"
    export PATH=$cache/bin:$PATH
}

# Qt, OpenSSL and libsodium from source, as ../shared/windows-sdk/ was made.
build_sdk() {
    local work=$cache/work
    mkdir -p "$work" "$prefix"
    if [ ! -f "$prefix/lib/libsodium.a" ]; then
        fetch_source libsodium "$work"
        tar -C "$work" -xf "$work"/libsodium_*.orig.tar.gz
        (cd "$work"/libsodium-*/ && { [ -x configure ] || ./autogen.sh -s >/dev/null 2>&1; } &&
            ./configure --host=$cross --prefix="$prefix" --disable-shared --enable-static >/dev/null &&
            make -j"$jobs" >/dev/null && make install >/dev/null)
    fi
    say "libsodium done"
    if [ ! -f "$prefix/lib/libssl.a" ]; then
        fetch_source openssl "$work"
        tar -C "$work" -xf "$work"/openssl_*.orig.tar.gz
        (cd "$work"/openssl-3*/ && ./Configure mingw64 --cross-compile-prefix=$cross- --prefix="$prefix" \
            --libdir=lib no-shared no-tests >/dev/null && make -j"$jobs" >/dev/null && make install_sw >/dev/null)
    fi
    say "openssl done"
    fetch_source qtbase-opensource-src "$work"
    rm -rf "$work/qtbase"
    (cd "$work" && dpkg-source -x qtbase-opensource-src_*.dsc qtbase >/dev/null) # Debian's patches applied
    (cd "$work/qtbase" &&
        OPENSSL_LIBS="-L$prefix/lib -lssl -lcrypto -lws2_32 -lcrypt32 -lgdi32 -luser32 -ladvapi32" \
        ./configure -xplatform win32-g++ -device-option CROSS_COMPILE=$cross- \
            -prefix "$prefix" -hostprefix "$prefix/host" -opensource -confirm-license -release -static \
            -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-fontconfig \
            -no-direct2d -no-feature-tabletevent \
            -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype \
            -no-sql-sqlite -no-sql-odbc -no-sql-mysql -no-sql-psql -no-sql-ibase \
            -openssl-linked -I "$prefix/include" -L "$prefix/lib" \
            >"$work/qt-configure.log" 2>&1 || { tail -40 "$work/qt-configure.log"; exit 1; }
        make -j"$jobs" >"$work/qt-build.log" 2>&1 || { tail -60 "$work/qt-build.log"; exit 1; }
        make install >"$work/qt-install.log" 2>&1)
    say "qtbase done"
}

# Qt's QIBASE driver, a static plugin, from the same Qt source. fbclient.dll is imported through a
# delay-load library: the program starts without Firebird and loads the client only when a
# database is opened.
build_ibase() {
    local work=$cache/ibase src
    rm -rf "$work"
    mkdir -p "$work"
    if [ -d "$cache/work/qtbase/src/plugins/sqldrivers/ibase" ]; then
        src=$cache/work/qtbase/src/plugins/sqldrivers/ibase
    else
        fetch_source qtbase-opensource-src "$work"
        # Debian's patches leave the driver's sources alone: the original tarball's are the same.
        tar -C "$work" -xJf "$work"/qtbase-opensource-src_*.orig.tar.xz --wildcards '*/src/plugins/sqldrivers/ibase/*'
        src=$(echo "$work"/qtbase-*/src/plugins/sqldrivers/ibase)
    fi
    cmake -S "$here/cmake/qsqlibase" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
        -DSTABLOMAT_WINDOWS_SDK="$prefix" -DIBASE_SOURCE_DIR="$src" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
    cmake --build "$work/build" -j"$jobs" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"/qtbase-* "$work"/*.orig.tar.xz
    say "QIBASE driver done"
}

tools
if [ ! -f "$prefix/lib/cmake/Qt5/Qt5Config.cmake" ]; then
    rm -rf "$prefix"
    mkdir -p "$cache"
    if [ -f "$tarball" ]; then
        say "unpacking $tarball into $cache"
        tar -C "$cache" -xJf "$tarball"
    else
        say "no SDK tarball ($tarball): building it from Debian's sources into $cache"
        build_sdk
    fi
fi
# pkg-config files with the prefix they were built in: point them here.
sed -i "s|^prefix=.*|prefix=$prefix|" "$prefix"/lib/pkgconfig/{libsodium,libssl,libcrypto,openssl}.pc
[ -f "$prefix/plugins/sqldrivers/libqsqlibase.a" ] || build_ibase
# minizip for the self-update's archive check
bash "$here/scripts/windows-minizip.sh" "$prefix" >&2
echo "$prefix"
