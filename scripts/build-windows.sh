#!/usr/bin/env bash
# Cross-builds the Windows program on Debian: stablomat.exe (static: it imports only Windows' own
# DLLs), the converter stand-ins and herd tools as Windows programs, and the tests that run under
# Wine. The SDK comes from scripts/windows-sdk.sh (unpacked or built once into its cache folder).
#   scripts/build-windows.sh [--release] [cmake --build arguments, e.g. --target stablomat]
# --release: what is shipped, without the tests and so without test hooks (default build-windows-release/).
# BUILD_DIR: the Windows build folder (default build-windows/); HOST_BUILD_DIR: the Linux build whose
# reference registry and farm tool the Wine tests use (default build/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tests=ON
if [ "${1:-}" = "--release" ]; then
    tests=OFF
    shift
fi
build=${BUILD_DIR:-$here/build-windows}
[ $tests = ON ] || build=${BUILD_DIR:-$here/build-windows-release}
host_build=${HOST_BUILD_DIR:-$here/build}

sdk=$(bash "$here/scripts/windows-sdk.sh")
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DSTABLOMAT_WINDOWS_SDK="$sdk" \
    -DCMAKE_BUILD_TYPE=Release -DSTABLOMAT_WERROR=ON -DSTABLOMAT_HOST_BUILD="$host_build" "${launcher[@]}" \
    -DSTABLOMAT_BUILD_TESTS=$tests -DSTABLOMAT_TEST_HOOKS=$tests >/dev/null
nice cmake --build "$build" -j"${JOBS:-$(nproc)}" "$@"
if [ -f "$build/stablomat.exe" ]; then
    bash "$here/scripts/windows-imports.sh" "$build/stablomat.exe"
fi
