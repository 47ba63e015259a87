#!/usr/bin/env bash
# Fresh Wine prefixes for the Windows tests: one template per test run (wineboot takes 20 to 40 s),
# and a copy of it for each test (a fraction of a second: Wine's own binaries are hard links).
#   wine-prefix.sh template TEMPLATE          makes the template unless it is there
#   wine-prefix.sh new TEMPLATE DIR           DIR becomes a fresh prefix
#   wine-prefix.sh run TEMPLATE PROGRAM ARG.. runs a Windows program in a fresh prefix of its own,
#                                             removed afterwards; the program's exit status is kept
#                                             (CMAKE_CROSSCOMPILING_EMULATOR of the Windows tests;
#                                             a Qt test, tst_*, has its log printed)
#   wine-prefix.sh guard COMMAND ARG...       runs a test whose temporary files go below a folder of
#                                             its own; whatever it left running there (Wine prefixes,
#                                             servers) is ended, so an aborted test cannot hold
#                                             ctest's output open
# A display and a tray host come from the caller (scripts/headless-tray.sh).
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}

make_template() {
    local template=$1 lock
    mkdir -p "$(dirname "$template")"
    lock=$template.lock
    exec 9>"$lock"
    flock 9
    if [ ! -f "$template/system.reg" ]; then
        rm -rf "$template"
        # No Mono or Gecko installer dialogs: the tests need neither.
        WINEPREFIX=$template WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1
        WINEPREFIX=$template wineserver -w
    fi
    flock -u 9
}

new_prefix() {
    local template=$1 dir=$2
    [ -f "$template/system.reg" ] || make_template "$template"
    rm -rf "$dir"
    mkdir -p "$dir"
    # Wine's binaries are only read: linked. The registry, drive C's folders and files are copies.
    tar -C "$template" --exclude=./drive_c/windows/system32 --exclude=./wineserver -cf - . | tar -C "$dir" -xf -
    cp -al "$template/drive_c/windows/system32" "$dir/drive_c/windows/system32"
}

case "${1:-}" in
template)
    make_template "${2:?template}"
    ;;
new)
    new_prefix "${2:?template}" "${3:?dir}"
    ;;
run)
    template=${2:?template}
    shift 2
    dir=$(mktemp -d "${TMPDIR:-/tmp}/stablomat-wine.XXXXXX")
    trap 'WINEPREFIX=$dir/prefix wineserver -k 2>/dev/null || true; WINEPREFIX=$dir/prefix wineserver -w 2>/dev/null || true; rm -rf "$dir" 2>/dev/null || true' EXIT
    new_prefix "$template" "$dir/prefix"
    status=0
    case "$(basename "$1")" in
    tst_*)
        # A Qt test writes its log to the debugger under Wine (no console window): into a file here.
        WINEPREFIX=$dir/prefix wine "$@" -o "Z:$dir/log.txt,txt" || status=$?
        cat "$dir/log.txt" 2>/dev/null || echo "no test log from $1 (exit status $status)"
        ;;
    *)
        WINEPREFIX=$dir/prefix wine "$@" || status=$?
        ;;
    esac
    exit $status
    ;;
guard)
    shift
    work=$(mktemp -d "${TMPDIR:-/tmp}/stablomat-guard.XXXXXX")
    status=0
    TMPDIR=$work "$@" || status=$?
    for proc in /proc/[0-9]*; do
        pid=${proc#/proc/}
        [ "$pid" != $$ ] || continue
        prefix=$({ tr '\0' '\n' <"$proc/environ"; } 2>/dev/null | sed -n "s|^WINEPREFIX=\($work/.*\)|\1|p") || true
        if [ -n "$prefix" ]; then
            # The prefix may be gone already (or be another test's): the process goes all the same.
            WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
            kill -KILL "$pid" 2>/dev/null || true
        elif { tr '\0' ' ' <"$proc/cmdline"; } 2>/dev/null | grep -qF -- "$work/"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$work" 2>/dev/null || true
    exit $status
    ;;
*)
    echo "usage: wine-prefix.sh template TEMPLATE | new TEMPLATE DIR | run TEMPLATE PROGRAM [ARG...] | guard COMMAND [ARG...]" >&2
    exit 2
    ;;
esac
