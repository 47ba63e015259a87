#!/usr/bin/env bash
# Installs what is needed, builds Stablomat with its tests and runs them all.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   the same with AddressSanitizer and UBSan (build-sanitize/)
# Further arguments go to ctest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sanitize=OFF
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=ON
    shift
fi
if [ $sanitize = ON ]; then
    build=${BUILD_DIR:-$here/build-sanitize}
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
    build=${BUILD_DIR:-$here/build}
fi

"$here/scripts/install-deps.sh"
for s in "$here"/scripts/services/*.sh; do
    [ -e "$s" ] && bash "$s" start
done

# The sanitizer build is unoptimised: it compiles much faster and reports more precisely.
build_type=RelWithDebInfo
[ $sanitize = ON ] && build_type=Debug
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=$build_type -DSTABLOMAT_WERROR=ON \
    -DSTABLOMAT_SANITIZE=$sanitize >/dev/null
cmake --build "$build" -j"$(nproc)"

# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$build
start_headless_tray
trap stop_headless_tray EXIT

status=0
(cd "$build" && ctest --output-on-failure --timeout 300 "$@") || status=$?
exit $status
