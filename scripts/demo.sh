#!/usr/bin/env bash
# Builds Stablomat and starts it on a demo farm: a fake drive C with a milking system's stand-in
# and a generated herd, the reference herd registry on this machine with a farm, a user and a few
# recorded inseminations, and the settings filled in. Everything lives in the demo directory, with
# its own HOME, XDG_CONFIG_HOME and WINEPREFIX; your own settings and drive C are never touched.
#
#   scripts/demo.sh [--system alpro|delpro|dairyplan|lely|fullwood|afikim|uniform] [--dir DIR]
#
# With a display (DISPLAY set) the window opens and you press "Výměna údajů" yourself (AfiFarm has
# no such button: the demo has the AfiFarm stand-in save a report, which starts the exchange); quit
# with the tray menu's "Ukončit". Without one the demo runs on a virtual display with a tray host,
# starts one exchange itself, answers the boxes, saves screenshots and ends. Either way it then
# prints what the registry received and what was written back to the milking system.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

# Milking systems the demo can lay out: farm-tool's --system names whose adapter is built.
demo_systems=(alpro delpro dairyplan lely fullwood afikim uniform)
# The file the program hands to the milking system and the milking system's answer or log to it,
# relative to the directory of the herd file (Lely writes nothing back: its request and answer).
writeback_files() {
    case "$1" in
    alpro | delpro) echo "fin_stablomat_modify.ads fout_stablomat_modify.ads" ;;
    dairyplan) echo "fin_stablomat_modify.ads" ;;
    lely) echo "tau_ms.2 TAU_PRC.2" ;;
    fullwood) echo "tau_ms.2 TAU_LOG.2" ;;
    afikim) echo "../DATA/MS/afi_ms.dat" ;;
    esac
}
# How a run ends on screen: "box" the result box; "progress" (Lely) only the progress window,
# nothing is shown; "quiet" (AfiFarm in tray mode) no boxes at all, the run ends with the detach.
run_ends_with() {
    case "$1" in
    lely) echo progress ;;
    afikim) echo quiet ;;
    *) echo box ;;
    esac
}
# Systems that put the day's milk yields into the window (for "Ulož soubor").
milk_systems=" alpro delpro dairyplan afikim "

system=alpro
demo=${DEMO_DIR:-$build/demo}
while [ $# -gt 0 ]; do
    case "$1" in
    --system) system=${2:-}; shift 2 ;;
    --system=*) system=${1#--system=}; shift ;;
    --dir) demo=${2:-}; shift 2 ;;
    --dir=*) demo=${1#--dir=}; shift ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [[ " ${demo_systems[*]} " != *" $system "* ]]; then
    echo "demo.sh: --system must be one of: ${demo_systems[*]}" >&2
    exit 2
fi

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target stablomat farm-tool herd-generator zavra-registry \
    iso32 dpdataexchange taurus2 taupro2 afifarm herdmetrix-seed
# HerdMetrix keeps its herd in a Firebird database on this machine's server.
if [ "$system" = uniform ]; then bash "$here/scripts/services/firebird.sh" start; fi
bin=$build/simulators/bin
registry_bin=$(find "$bin" "$build/simulators/cloud" -maxdepth 1 -type f -name zavra-registry -perm -u+x 2>/dev/null | head -n 1)
[ -n "$registry_bin" ] || { echo "demo.sh: zavra-registry was not built" >&2; exit 1; }

# ---- the demo directory ----
# Only a directory the demo made itself is cleared.
if [ -e "$demo" ] && [ ! -e "$demo/.stablomat-demo" ]; then
    echo "demo.sh: $demo exists and is not a demo directory; choose another with --dir" >&2
    exit 1
fi
rm -rf "$demo"
mkdir -p "$demo/home/.config/Brantol" "$demo/home/.local/share" "$demo/wine"
touch "$demo/.stablomat-demo"
demo=$(cd "$demo" && pwd)
export HOME=$demo/home
export XDG_CONFIG_HOME=$HOME/.config
export XDG_DATA_HOME=$HOME/.local/share
export WINEPREFIX=$demo/wine
export XDG_RUNTIME_DIR=$demo/runtime
mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS

pids=()
own_tray=
# Ends a process: SIGTERM, then SIGKILL when it is still there after 5 s (with a HerdMetrix
# database open, the Firebird client library catches SIGTERM and the program keeps running).
end_process() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    local p
    for p in "${pids[@]}"; do
        end_process "$p"
    done
    if [ -n "$own_tray" ]; then stop_headless_tray; fi
}
trap cleanup EXIT

# ---- the herd and the farm ----
today=$(date +%F)
"$bin/herd-generator" --cows 30 --seed 7 --today "$today" --out "$demo/herd-generated.json"
layout=$("$bin/farm-tool" --system "$system" --herd "$demo/herd-generated.json" --wineprefix "$WINEPREFIX")
echo "$layout"
# The herd file beside the stand-in; HerdMetrix has a database instead.
herd_file=$(echo "$layout" | sed -n 's/^.* -> \(.*\.json\)$/\1/p' | head -n 1)
database=$(echo "$layout" | sed -n 's/^.* -> \(.*\.fdb\)$/\1/p' | head -n 1)
if [ -n "$herd_file" ]; then
    converter_dir=$(dirname "$herd_file")
    cp "$herd_file" "$demo/herd-before.json"
else
    converter_dir=
    cp "$demo/herd-generated.json" "$demo/herd-before.json"
fi

# ---- the registry: a farm, a user, inseminations recorded in the cloud ----
cloud=1001
user=demo
password=demo
db=$demo/registry.db
"$registry_bin" add-farm --db "$db" --cloud "$cloud" >/dev/null
"$registry_bin" add-user --db "$db" --cloud "$cloud" --user "$user" --password "$password" >/dev/null

# Three present cows not served lately get a new insemination (today, yesterday, the day before);
# one cow's last insemination is recorded too, which the parlour already holds. Each is recorded
# under the animal's number as the system's adapter sends it.
python3 - "$demo/herd-before.json" "$today" "$system" >"$demo/recorded.tsv" <<'PY'
import datetime, json, re, sys
herd = json.load(open(sys.argv[1], encoding="utf-8"))
today = datetime.date.fromisoformat(sys.argv[2])
system = sys.argv[3]
bulls = [b["code"] for b in herd.get("bulls", [])] or ["HO 444649"]
def life_of(cow):
    digits = "".join(re.findall(r"\d", cow["registration"]))
    if system == "fullwood":  # the converter's cow id
        return str(cow["parlour"])
    if system == "uniform":  # LEVENSNUMMER's digits, leading zeros kept
        return digits
    return str(int(digits or "0"))
def d(s):
    return datetime.date.fromisoformat(s)
picked, known = [], None
for cow in sorted(herd["cows"], key=lambda c: c["parlour"]):
    if cow.get("status", "present") != "present" or not cow.get("calvings"):
        continue
    calving = d(cow["calvings"][-1])
    ins = cow.get("inseminations", [])
    last = d(ins[-1]["date"]) if ins else None
    if known is None and last and last >= calving and (today - last).days <= 25:
        known = (cow, last, ins[-1].get("ordinal", 0), ins[-1].get("sire", ""))
        continue
    if len(picked) < 3 and (last is None or (today - last).days > 3):
        picked.append(cow)
for n, cow in enumerate(picked):
    day = today - datetime.timedelta(days=n)
    calving = d(cow["calvings"][-1])
    ordinal = 1 + sum(1 for i in cow.get("inseminations", []) if calving <= d(i["date"]) <= day)
    print("\t".join([life_of(cow), day.isoformat(), str(ordinal), bulls[n % len(bulls)]]))
if known:
    cow, last, ordinal, sire = known
    print("\t".join([life_of(cow), last.isoformat(), str(ordinal), sire or bulls[0]]))
PY
while IFS=$'\t' read -r animal date ordinal bull; do
    "$registry_bin" record-insemination --db "$db" --cloud "$cloud" --animal "$animal" --date "$date" \
        --ordinal "$ordinal" --bull "$bull" >/dev/null
done <"$demo/recorded.tsv"

"$registry_bin" serve --db "$db" --port 0 --bind 127.0.0.1 \
    --update-reply "stablomat,demo,ok,1.03,http://127.0.0.1/stablomat.zip" >"$demo/registry.log" 2>&1 &
pids+=($!)
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on \([0-9]*\)$/\1/p' "$demo/registry.log")
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "demo.sh: the registry did not start (see $demo/registry.log)" >&2; exit 1; }
export ZAVRA_URL=http://127.0.0.1:$port
export STABLOMAT_UPDATE_URL=http://127.0.0.1:$port

# ---- the settings ----
cat >"$XDG_CONFIG_HOME/Brantol/stablomat.conf" <<EOF
[settings]
staj=Statek U L\\xedpy
trayicon=true
zavra_dat_vymena_hod=0
zavra_cloud_cislo=$cloud
zavra_uzivatel=$user
zavra_heslo=$password
zavra_stahovat_inseminace_dny=30
zavra_stahovat_inseminace_povoleno=true
zavra_odesilat_udaje_dny=60
zavra_odesilat_inseminace_povoleno=true
stahovat_nadoje=true
dojeni1=true
dojeni2=true
dojeni3=false
od_datum1=1
od_hodina1=0
do_datum1=0
do_hodina1=11
od_datum2=0
od_hodina2=12
do_datum2=0
do_hodina2=23
od_datum3=0
od_hodina3=0
do_datum3=0
do_hodina3=0
EOF

# Prints a file handed over or answered: its record lines ("VN...") when it has any, else its
# first lines.
show_file() {
    local lines
    lines=$(tr -d '\r' <"$1" | sed -n 's/^\(VN.*\)$/    \1/p')
    if [ -n "$lines" ]; then
        echo "$lines" | head -n 12
        [ "$(echo "$lines" | wc -l)" -le 12 ] || echo "    ... $(echo "$lines" | wc -l) record lines in all"
    else
        tr -d '\r' <"$1" | head -n 12 | sed 's/^/    /'
    fi
}
# Runs SQL on the HerdMetrix database; prints the rows.
herdmetrix_sql() {
    echo "$1" | timeout 30 isql-fb -q -user SYSDBA -password kelpmoira "localhost:$database" | sed '/^ *$/d'
}

report() {
    echo
    echo "== What the registry received (farm $cloud) =="
    "$registry_bin" requests --db "$db" | python3 -c '
import json, sys
for line in sys.stdin:
    r = json.loads(line)
    print("  %-6s %-28s %s  %s" % (r.get("method", ""), r.get("path", ""), r.get("status", ""), r.get("summary", "")))
'
    "$registry_bin" dump --db "$db" --cloud "$cloud" | python3 -c '
import json, sys
d = json.load(sys.stdin)
print("  stored: %d animals, %d inseminations, %d pregnancy events, %d drying-offs" % (
    len(d.get("animals", [])), len(d.get("inseminations", [])), len(d.get("pregnancies", [])), len(d.get("dryOffs", []))))
for i in d.get("inseminations", [])[:5]:
    print("    insemination %s on %s, service %s, sire %s" % (i.get("cislo"), i.get("datum"), i.get("poradi", "?"), i.get("byk", "?")))
if len(d.get("inseminations", [])) > 5:
    print("    ...")
print("  recorded in the cloud, to be written back:")
for i in d.get("recorded", []):
    print("    %s on %s, service %s, bull %s" % (i.get("cislo"), i.get("datum"), i.get("poradi", "?"), i.get("byk", "?")))
'
    echo
    echo "== What was written back =="
    local record answer
    read -r record answer <<<"$(writeback_files "$system")"
    if [ "$system" = uniform ]; then
        echo "  inseminations the program added to the HerdMetrix database ($database):"
        herdmetrix_sql "select d.NUMMER, d.LEVENSNUMMER, v.DATUMBEGIN, b.NAAM from DIER_VOORTPLANTING v
            join DIER d on d.DIERID = v.DIERID left join DIER b on b.DIERID = v.DIERID_INSEMINATIE
            where v.VOORTPLANTINGCODE = 2 and v.DIER_VOORTPLANTING_ID > $events_before
            order by d.NUMMER;" | sed 's/^/    /'
        return 0
    fi
    if [ -n "${record:-}" ] && [ -f "$converter_dir/$record" ]; then
        echo "  $(basename "$record"), handed to the milking system ($converter_dir/$record):"
        show_file "$converter_dir/$record"
        if [ -n "${answer:-}" ] && [ -f "$converter_dir/$answer" ]; then
            echo "  the converter's answer ($answer):"
            show_file "$converter_dir/$answer"
        fi
    else
        echo "  no record file: no exchange ran, or nothing was downloaded"
    fi
    echo "  new inseminations in the herd file ($herd_file):"
    python3 - "$demo/herd-before.json" "$herd_file" <<'PY'
import json, sys
before = {c["registration"]: c for c in json.load(open(sys.argv[1], encoding="utf-8"))["cows"]}
after = json.load(open(sys.argv[2], encoding="utf-8"))["cows"]
found = False
for cow in sorted(after, key=lambda c: c["parlour"]):
    old = {i["date"] for i in before.get(cow["registration"], {}).get("inseminations", [])}
    for i in cow.get("inseminations", []):
        if i["date"] not in old:
            found = True
            print("    cow %d (%s): %s, service %s, sire %s" % (cow["parlour"], cow["registration"], i["date"],
                                                              i.get("ordinal", "?"), i.get("sire") or "not known"))
if not found:
    print("    none")
PY
}

events_before=0
if [ "$system" = uniform ]; then
    events_before=$(herdmetrix_sql "select coalesce(max(DIER_VOORTPLANTING_ID), 0) from DIER_VOORTPLANTING;" |
        tail -n 1 | tr -d ' ')
fi

# AfiFarm starts the exchange itself: saving a report into "c:/afifarm/savefile" sets it off.
afifarm=
[ "$system" = afikim ] && afifarm=$converter_dir/afifarm.exe
afifarm_report() {
    echo "AfiFarm saves its report into savefile..."
    "$afifarm" report | sed 's/^/  /'
}
# AfiFarm reads the program's import file (DATA/MS/afi_ms.dat) into its herd when asked to.
afifarm_import() {
    if [ -f "$converter_dir/../DATA/MS/afi_ms.dat" ]; then
        echo "AfiFarm imports DATA/MS/afi_ms.dat..."
        "$afifarm" import | sed 's/^/  /' || true
    fi
}

echo
echo "Demo farm in $demo: $system with 30 cows, registry on $ZAVRA_URL (cloud $cloud, user $user)"

if [ -n "${DISPLAY:-}" ]; then
    if [ -n "$afifarm" ]; then
        echo "The exchange starts when AfiFarm saves a report: the demo has it save one in 5 seconds."
        echo "Tray mode is on, so the result shows in the window only. Quit with the tray icon's menu \"Ukončit\"."
        (sleep 5 && afifarm_report) &
        pids+=($!)
    else
        echo "Press \"Výměna údajů\" in the window; quit with the tray icon's menu \"Ukončit\"."
    fi
    "$build/stablomat" || true
    [ -z "$afifarm" ] || afifarm_import
    report
    exit 0
fi

# ---- no display: a virtual one, and the button pressed for you ----
# shellcheck source=headless-tray.sh
source "$here/scripts/headless-tray.sh"
export HEADLESS_LOG_DIR=$demo
start_headless_tray
own_tray=1

(cd "$demo" && exec "$build/stablomat") >"$demo/stablomat.log" 2>&1 &
app=$!
pids+=("$app")

# Waits up to $1 seconds for a visible window whose name matches $2 (and, with $3, is taller
# than that); prints its id.
wait_window() {
    local limit=$1 name=$2 min_height=${3:-0} id h
    for _ in $(seq 1 $((limit * 10))); do
        for id in $(xdotool search --onlyvisible --name "$name" 2>/dev/null); do
            h=$(xdotool getwindowgeometry --shell "$id" | sed -n 's/^HEIGHT=//p')
            if [ "${h:-0}" -gt "$min_height" ]; then
                echo "$id"
                return 0
            fi
        done
        kill -0 "$app" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
# Presses a key in a window: the pointer goes there first (no window manager: focus follows it).
press_in() {
    local id=$1 key=$2 X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$id" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
    sleep 0.2
    xdotool key "$key"
}

# Waits up to $1 seconds until no window matching $2 is visible.
wait_gone() {
    for _ in $(seq 1 $(($1 * 10))); do
        xdotool search --onlyvisible --name "$2" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}
# Waits up to $1 seconds until the registry has seen the end of a sync (the detach).
wait_detach() {
    for _ in $(seq 1 $(($1 * 10))); do
        "$registry_bin" requests --db "$db" | grep -q '/api/v1/detach' && return 0
        kill -0 "$app" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

main=$(wait_window 20 '^Stablomat 1\.03') || { echo "demo.sh: no main window (see $demo/stablomat.log)" >&2; exit 1; }
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$main" | grep -E '^(X|Y)=')"
if [ -n "$afifarm" ]; then
    afifarm_report
else
    echo "Pressing \"Výměna údajů\"..."
    xdotool mousemove $((X + 66)) $((Y + 40)) click 1
    # The milking periods are asked for first, since milk yields are exported.
    if periods=$(wait_window 10 'dojení'); then
        press_in "$periods" Return
    fi
fi

shots="$demo/stablomat-after.png (the window after the run)"
case "$(run_ends_with "$system")" in
box)
    # The result box (the progress window carries the same title but is only a line high).
    if ! box=$(wait_window 60 '^Stablomat$' 80); then
        echo "demo.sh: no result box came (see $demo/stablomat.log)" >&2
        exit 1
    fi
    sleep 0.5
    import -window root "$demo/stablomat-demo.png"
    press_in "$box" Return
    shots="$demo/stablomat-demo.png (the result box), $shots"
    ;;
progress)
    # Nothing is shown: the run is over when the converter has answered and the progress window went.
    for _ in $(seq 1 300); do [ -f "$converter_dir/TAU_PRC.2" ] && break; sleep 0.1; done
    sleep 0.5
    wait_gone 60 '^Stablomat$' || echo "demo.sh: the progress window stayed open" >&2
    echo "The run ended without a message (Lely: the converter exchange only)."
    ;;
quiet)
    wait_detach 60 || echo "demo.sh: the exchange did not reach the registry's detach (see $demo/stablomat.log)" >&2
    echo "The run ended without a message (tray mode: AfiFarm's runs show no boxes)."
    ;;
esac
sleep 1
import -window root "$demo/stablomat-after.png"
echo "Screenshots: $shots"

# "Ulož soubor" saves the milk yields; the dialog offers mleko.csv in the program's directory.
if [[ "$milk_systems" == *" $system "* ]]; then
    echo "Pressing \"Ulož soubor\"..."
    # AfiFarm's window has no exchange button: "Ulož soubor" comes first.
    save_x=174
    [ -z "$afifarm" ] || save_x=66
    xdotool mousemove $((X + save_x)) $((Y + 40)) click 1
    if save=$(wait_window 10 'Uložení souboru'); then
        sleep 0.3
        press_in "$save" Return
        for _ in $(seq 1 50); do [ -s "$demo/mleko.csv" ] && break; sleep 0.1; done
    fi
fi
end_process "$app"
[ -z "$afifarm" ] || afifarm_import
report
echo
if [ -s "$demo/mleko.csv" ]; then
    echo "== Milk yields saved by \"Ulož soubor\" ($demo/mleko.csv, first lines) =="
    head -n 8 "$demo/mleko.csv" | sed 's/^/  /'
    echo "  ... $(($(wc -l <"$demo/mleko.csv") - 1)) lines of milk yields in all"
elif [[ "$milk_systems" == *" $system "* ]]; then
    echo "The milk yields were not saved (the save dialog did not answer); they show in $demo/stablomat-after.png"
fi
