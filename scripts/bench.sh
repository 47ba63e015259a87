#!/usr/bin/env bash
# Builds the benchmarks (build/, RelWithDebInfo) and runs them; prints a summary at the end.
#   scripts/bench.sh [all|answers|sync|exchange|idle]...   (default: all)
# Herds and the stand-ins' answers are made once into build/bench/data/ (about a minute).
# The idle tray measurement runs the real program under a virtual display for 60 s
# (IDLE_SECONDS to change it), with its window shown; IDLE_WINDOW=hidden starts it hidden in the
# tray instead (start-up shortcut present, tray mode on, exchange every hour).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(all)
want() { local p; for p in "${parts[@]}"; do [ "$p" = all ] || [ "$p" = "$1" ] && return 0; done; return 1; }

if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
    "$here/scripts/install-deps.sh"
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target benchmarks >/dev/null
out=$build/bench/results
mkdir -p "$out"

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
     "$(free -g | awk '/Mem:/ {print $2}') GB, $(uname -sr)"

if want answers; then
    # Three runs of each; the table takes their medians.
    "$build/bench/bench_answers" --benchmark_out="$out/answers.json" --benchmark_out_format=json \
        --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
    python3 - "$out/answers.json" <<'PY'
import json, sys
rows = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred") or b.get("aggregate_name", "median") != "median":
        continue
    parts = b.get("run_name", b["name"]).split("/")
    pass_, system, cows = parts[0], parts[1], int(parts[2])
    if pass_ == "alone":
        system, pass_ = system + " records alone", "records"
    ms = b["real_time"] if b["time_unit"] == "ms" else b["real_time"] / 1e6
    rows[(system, cows, pass_)] = (ms, b.get("bytes_per_second", 0) / 1e6)
print()
print("| answer | cows | read MB/s | lines MB/s | records MB/s | records ms per 10,000 cows | ratio to read | ratio to lines | growth to 10x cows |")
print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for system in dict.fromkeys(k[0] for k in rows):
    for cows in (1000, 10000, 100000):
        if (system, cows, "records") not in rows:
            continue
        r, rm = rows[(system, cows, "records")]
        # The records alone are measured against the floor of the answer they stand for.
        floor_of = system.replace(" records alone", "")
        f, fm = rows.get((floor_of, cows, "read"), (0, 0))
        l, lm = rows.get((system, cows, "lines"), (0, 0))
        prev = rows.get((system, cows // 10, "records"))
        growth = "%.1fx" % (r / prev[0]) if prev and cows > 1000 else ""
        print("| %s | %d | %.0f | %.0f | %.1f | %.1f | %.0fx | %.1fx | %s |" % (
            system, cows, fm, lm, rm, r * 10000 / cows, r / f if f else 0, r / l if l else 0, growth))
PY
fi

if want sync; then
    "$build/bench/bench_sync"
fi

if want exchange; then
    "$build/bench/bench_exchange" time 5000 2>/dev/null | grep '^exchange'
    "$build/bench/bench_exchange" repeat 1000 2>/dev/null | grep '^exchanges'
fi

if want idle; then
    "$build/bench/bench_idle" 100000 2>/dev/null | grep "^idle" || true
    # The real program at rest in a tray: CPU time and memory from /proc after IDLE_SECONDS.
    # shellcheck source=headless-tray.sh
    source "$here/scripts/headless-tray.sh"
    export HEADLESS_LOG_DIR=$out
    start_headless_tray
    home=$(mktemp -d)
    window=${IDLE_WINDOW:-shown}
    if [ "$window" = hidden ]; then
        mkdir -p "$home/.config/Brantol" "$home/.local/share/applications/Startup"
        printf '[settings]\ntrayicon=true\nzavra_dat_vymena_hod=1\n' >"$home/.config/Brantol/stablomat.conf"
        ln -s "$build/stablomat" "$home/.local/share/applications/Startup/stablomat.lnk"
    fi
    # A second instance would only show its refusal: wait until no other copy runs.
    while pgrep -x stablomat >/dev/null; do sleep 1; done
    HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share WINEPREFIX=$home/wine \
        STABLOMAT_UPDATE_URL=http://127.0.0.1:9 "$build/stablomat" >/dev/null 2>&1 &
    pid=$!
    sleep 5
    read -r u0 s0 < <(awk '{print $14, $15}' "/proc/$pid/stat")
    seconds=${IDLE_SECONDS:-60}
    sleep "$seconds"
    read -r u1 s1 < <(awk '{print $14, $15}' "/proc/$pid/stat")
    tick=$(getconf CLK_TCK)
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
    fds=$(ls "/proc/$pid/fd" | wc -l)
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    stop_headless_tray
    rm -rf "$home"
    awk -v c=$((u1 + s1 - u0 - s0)) -v t="$tick" -v s="$seconds" -v r="$rss" -v h="$hwm" -v f="$fds" -v w="$window" \
        'BEGIN { printf "tray program at rest, window %s: %.2f s CPU in %d s, RSS %.1f MB (peak %.1f MB), %d open files\n", w, c / t, s, r / 1024, h / 1024, f }'
fi
