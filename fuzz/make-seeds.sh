#!/usr/bin/env bash
# Regenerates the seed corpora from the stand-ins' output (build/ must hold the simulators):
#   fuzz/make-seeds.sh [build dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
bin=$build/simulators/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# DeLaval: iso32.exe answers for small herds, in every date form it writes.
"$bin/herd-generator" --cows 12 --seed 3 --today 2024-05-14 --out "$work/herd12.json" 2>/dev/null
"$bin/herd-generator" --cows 40 --seed 7 --today 2024-05-14 --long-numbers --out "$work/herd40.json" 2>/dev/null
mkdir -p "$here/corpus/adis_answer"
"$build/fuzz/seedtool" delaval "$work/stablomat_in.txt"
cp "$work/stablomat_in.txt" "$here/corpus/adis_answer/delaval-request.txt"
for herd in herd12 herd40; do
    for form in dd.MM.yyyy yyyyMMdd mixed; do
        (cd "$work" && HERD_FILE=$work/$herd.json ISO32_DATE_FORMAT=$form "$bin/iso32.exe" \
            -f stablomat_in.txt -o out.txt -x)
        cp "$work/out.txt" "$here/corpus/adis_answer/delaval-$herd-$form.txt"
    done
done
mkdir -p "$here/corpus/delaval_answer"
cp "$here"/corpus/adis_answer/delaval-herd*.txt "$here/corpus/delaval_answer/"

# DairyPlan: dpdataexchange.exe's reproduction and milk answers.
mkdir -p "$here/corpus/dairyplan_answer"
for herd in herd12 herd40; do
    for q in reproduction milk; do
        "$build/fuzz/seedtool" dairyplan-$q "$work/request.ads"
        answer=$(grep -m1 '^ON' "$work/request.ads" | tr -d '\r' | cut -c4-)
        (cd "$work" && HERD_FILE=$work/$herd.json "$bin/dpdataexchange.exe" -T -A -E request.ads)
        cp "$work/$answer" "$here/corpus/dairyplan_answer/$herd-$q.ads"
        cp "$work/$answer" "$here/corpus/adis_answer/dairyplan-$herd-$q.ads"
    done
done

# Taurus: the general-cow answer.
mkdir -p "$here/corpus/taurus_answer"
for herd in herd12 herd40; do
    "$build/fuzz/seedtool" taurus "$work/tau_ms.2"
    (cd "$work" && HERD_FILE=$work/$herd.json "$bin/taupro2.exe")
    cp "$work/TAU_PRC.2" "$here/corpus/taurus_answer/$herd.2"
    cp "$work/TAU_PRC.2" "$here/corpus/adis_answer/taurus-$herd.2"
done

# AfiFarm: the StablomatAnimals report in both encodings and line ends, columns in several orders.
mkdir -p "$here/corpus/dif_report"
n=0
for herd in herd12 herd40; do
    for opts in "--encoding windows-1250" "--encoding utf-8 --lf" "--seed 2" "--seed 3 --omit Rije"; do
        n=$((n + 1))
        # shellcheck disable=SC2086
        HERD_FILE=$work/$herd.json "$bin/afifarm.exe" report --root "$work/afifarm" --name "r$n.dif" $opts
        cp "$work/afifarm/savefile/r$n.dif" "$here/corpus/dif_report/$herd-$n.dif"
    done
done
