#!/usr/bin/env bash
# Installs what is needed, builds Stablomat with its tests and runs them all.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   the tests labelled "sanitize" with AddressSanitizer and UBSan
#                                (build-sanitize/, clang; see sanitize-build.sh)
# Further arguments go to ctest.
# The Windows program and its tests under Wine run too (scripts/test-windows.sh) when a Windows SDK is
# at hand: unpacked in the cache (~/.cache/stablomat/windows-sdk) or as ../shared/windows-sdk/ beside
# the repository; otherwise the run says that it skips them. STABLOMAT_WINDOWS=0 leaves them out,
# STABLOMAT_WINDOWS=1 requires them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sanitize=OFF
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=ON
    shift
fi
if [ $sanitize = ON ]; then
    # shellcheck source=sanitize-build.sh
    source "$here/scripts/sanitize-build.sh"
    build=$sanitize_build_dir
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
    build=${BUILD_DIR:-$here/build}
fi

"$here/scripts/install-deps.sh"
for s in "$here"/scripts/services/*.sh; do
    [ -e "$s" ] && bash "$s" start
done

if [ $sanitize = ON ]; then
    configure_sanitize_build
else
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTABLOMAT_WERROR=ON \
        -DSTABLOMAT_SANITIZE=OFF -DSTABLOMAT_TEST_HOOKS=ON >/dev/null
fi
# The sanitizer run builds only what its tests need (the tests labelled "sanitize").
targets=()
[ $sanitize = ON ] && targets=(--target sanitize_tests)
cmake --build "$build" -j"$(nproc)" "${targets[@]}"

# No Qt for Windows here: MinGW's g++ checks every product source for Windows (platform_win.cpp
# and the Windows branches) against the Qt headers and the build's generated headers.
check_windows_sources() {
    local qt mingw=x86_64-w64-mingw32-g++ flags m
    qt=$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt5)
    flags=(-std=gnu++17 -fsyntax-only -Wno-attributes -DUNICODE -D_UNICODE -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB
           -DQT_NETWORK_LIB -DQT_SQL_LIB -I"$here" -I"$here/ziviviver" -I"$here/netrule" -I"$qt")
    for m in QtCore QtGui QtWidgets QtNetwork QtSql; do flags+=(-I"$qt/$m"); done
    # libsodium's headers alone, without the rest of the host's /usr/include
    mkdir -p "$build/mingw-include"
    ln -sfn /usr/include/sodium.h "$build/mingw-include/sodium.h"
    ln -sfn /usr/include/sodium "$build/mingw-include/sodium"
    ln -sfn /usr/include/minizip "$build/mingw-include/minizip"
    flags+=(-I"$build/mingw-include/minizip" -I/usr/x86_64-w64-mingw32/include)
    flags+=(-idirafter "$build/mingw-include")
    while IFS= read -r -d '' m; do flags+=(-I"$m"); done < <(find "$build" -path '*_autogen/include' \
        ! -path '*/tests/*' ! -path '*/simulators/*' ! -path '*/bench/*' ! -path '*/fuzz/*' -print0)
    {
        find "$here"/{app,exchange,sync,adapters,update,ziviviver,netrule} -name '*.cpp' ! -name '*_unix.cpp' -print0
        find "$build" -maxdepth 3 -name mocs_compilation.cpp ! -path '*/tests/*' ! -path '*/simulators/*' \
            ! -path '*/bench/*' ! -path '*/fuzz/*' -print0
    } | xargs -0 -n1 -P"$(nproc)" nice -n 10 "$mingw" "${flags[@]}"
}
# The sources are the same in the sanitizer run: checked once, in the normal one, beside the tests
# (they mostly wait; the check yields the processor to them).
if [ $sanitize = OFF ]; then
    echo "Checking the sources for Windows (MinGW, syntax only) beside the tests"
    check_windows_sources >"$build/windows-check.log" 2>&1 &
    windows_check=$!
fi

# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$build
start_headless_tray
trap stop_headless_tray EXIT

# In parallel; the tests that share something are serialised by their properties.
labels=()
[ $sanitize = ON ] && labels=(-L sanitize)
status=0
(cd "$build" && ctest --output-on-failure --timeout 300 -j"${TEST_JOBS:-$(nproc)}" "${labels[@]}" "$@") ||
    status=$?
if [ -n "${windows_check:-}" ]; then
    if wait "$windows_check"; then
        echo "Windows check of the sources: passed"
    else
        echo "Windows check of the sources: FAILED" >&2
        status=1
    fi
    cat "$build/windows-check.log"
fi

if [ $sanitize = OFF ]; then
    stop_headless_tray
    trap - EXIT
    windows=${STABLOMAT_WINDOWS:-auto}
    sdk_cache=${STABLOMAT_WINDOWS_SDK:-$HOME/.cache/stablomat/windows-sdk}
    if [ "$windows" = 0 ]; then
        echo "Windows program and tests: skipped (STABLOMAT_WINDOWS=0)"
    elif [ "$windows" = 1 ] || [ -f "$sdk_cache/prefix/lib/cmake/Qt5/Qt5Config.cmake" ] ||
        [ -f "$here/../shared/windows-sdk/stablomat-windows-sdk.tar.xz" ]; then
        HOST_BUILD_DIR=$build bash "$here/scripts/test-windows.sh" || status=1
    else
        echo "Windows program and tests: SKIPPED, no Windows SDK at hand (run scripts/windows-sdk.sh once)"
    fi
fi
exit $status
