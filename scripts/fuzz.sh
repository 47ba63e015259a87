#!/usr/bin/env bash
# Builds the libFuzzer targets (build-sanitize/, see sanitize-build.sh) and runs each for the given time.
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
# New inputs go to build-sanitize/fuzz-work/<target>/ (the seed corpus in fuzz/corpus/ is not changed);
# a crash, a leak or a hang leaves its input in build-sanitize/fuzz-work/artifacts/ and fails the run.
# Copy such an input to fuzz/regressions/<target name without fuzz_>/: every build replays it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
# shellcheck source=sanitize-build.sh
source "$here/scripts/sanitize-build.sh"
build=$sanitize_build_dir

command -v clang++-14 >/dev/null || "$here/scripts/install-deps.sh"
configure_sanitize_build
cmake --build "$build" -j"$(nproc)" --target fuzz_targets >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$here"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

work=$build/fuzz-work
mkdir -p "$work/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
# One target per core at a time; each still gets its full time.
fuzz_one() {
    local t=$1 short=${1#fuzz_} status=0
    mkdir -p "$work/$t"
    "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-" \
        "$work/$t" "$here/fuzz/corpus/$short" "$here/fuzz/regressions/$short" >"$work/$t.log" 2>&1 || status=$?
    echo $status >"$work/$t.status"
}
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "${FUZZ_JOBS:-$(nproc)}" ]; do wait -n || true; done
    rm -f "$work/$t.status"
    fuzz_one "$t" &
done
wait
failed=()
for t in "${targets[@]}"; do
    echo "== $t: ${seconds}s"
    if [ "$(cat "$work/$t.status" 2>/dev/null)" != 0 ]; then
        failed+=("$t")
        tail -40 "$work/$t.log"
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' "$work/$t.log" | tr '\n' ' ' || true
    echo
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (inputs in $work/artifacts/)" >&2
    exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds}s each, nothing found"
