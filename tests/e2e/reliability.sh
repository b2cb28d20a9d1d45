#!/bin/bash
# How the installer fares on a faulty network: for each scenario our distribution server
# (tests/e2e/E2EServer.cpp) plays the fault in the private network, Setup.exe runs from a
# fresh machine under Wine and the driver presses "동의함" and "설치" as a user would. One
# Markdown table row per run: files installed byte-identical (of 6), how the run ended, its
# duration, and the body bytes the server sent against the product's size.
#   tests/e2e/reliability.sh [--old SETUP_EXE] [--only SCENARIO] [WIN32_BUILD [NATIVE_BUILD]]
# --old adds a run of another Setup.exe (an earlier build) before each run of ours.
# Needs root (for the namespace), an X display in DISPLAY, and both presets built.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine=$repo/scripts/wine.sh
# The six files of a run and where the installer puts them.
files="uninstall.exe libmySQL50.dll libmysql.dll auto_up.exe r_ver.txt mrwgt.exe"
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\mgatedesk'
# Long enough for a run that waits out the server's 120 s stall.
run_limit_ms=200000

# Inside the namespace, with the server up: one run of SETUP_EXE from a fresh machine.
#   reliability.sh --one DRIVER SETUP_EXE RESULT_FILE
if [ "${1:-}" = "--one" ]; then
    driver=$2 setup=$3 out=$4
    eval "$("$wine" --env)"
    users=$WINEPREFIX/drive_c/users/$(whoami)
    rm -rf "$users/AppData/Local/Brindlewick" "$users/Desktop/루멘타.lnk" "$users/Temp"/Marrowgate-Setup-*.log
    "$wine" reg delete "$uninstall_key" /f >/dev/null 2>&1
    "$wine" "$setup" >/dev/null 2>&1 &
    pid=$!
    "$wine" "$driver" install "$run_limit_ms" 2>/dev/null | tr -d '\r' >"$out"
    "$wine" "$driver" close >/dev/null 2>&1
    for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    cp -r "$users/AppData/Local/Brindlewick/Marrowgate" "$(dirname "$out")/installed" 2>/dev/null
    cp "$users/Temp"/Marrowgate-Setup-*.log "$(dirname "$out")/" 2>/dev/null
    exit 0
fi

old=
only=
while [ $# -gt 0 ]; do
    case "$1" in
    --old) old=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) break ;;
    esac
done
win=$(cd "${1:-$repo/build/win32}" && pwd)
native=$(cd "${2:-$repo/build/native}" && pwd)
ours=$win/src/setup/Setup.exe
driver=$win/tests/setup/setup_driver.exe
server=$native/tests/e2e_server
sample=$win/samples/www
work=$repo/build/reliability
for f in "$ours" "$driver" "$server" "$sample/deri_vere/mrwgt.exe" ${old:+"$old"}; do
    [ -e "$f" ] || { echo "missing $f (build the win32 and native presets first)" >&2; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no X display (DISPLAY)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
"$wine" --init >/dev/null || { echo "no Wine prefix" >&2; exit 1; }
product=0
for f in $files; do product=$((product + $(stat -c %s "$sample/deri_vere/$f"))); done

# SCENARIO LABEL SETUP_EXE [server options]: one run and its table row.
measure() {
    local scenario=$1 label=$2 setup=$3
    shift 3
    local dir=$work/$scenario-$label
    mkdir -p "$dir/www"
    cp -r "$sample/deri_vere" "$dir/www/"
    "$wine" --server-stop >/dev/null 2>&1
    "$repo/scripts/netns-serve.sh" - "$dir/server" -- \
        "$repo/tests/e2e/run.sh" --serve-ours "$server" "$dir/www" "$dir/requests.log" "$@" -- \
        "$0" --one "$driver" "$setup" "$dir/result" >"$dir/run.log" 2>&1
    local result ending ms installed=0 sent
    result=$(cat "$dir/result" 2>/dev/null)
    ending=${result%% *}
    ms=$(echo "$result" | awk '{print $2}')
    [ "$ending" = box ] && ending="error box"
    for f in $files; do
        local got=$dir/installed/$f want=$dir/www/deri_vere/$f
        [ -f "$got" ] || continue
        if [ "$f" = r_ver.txt ]; then
            # Saved with CR LF after every line, the last one too.
            cmp -s <(awk '{printf "%s\r\n", $0}' "$want") "$got" && installed=$((installed + 1))
        else
            cmp -s "$got" "$want" && installed=$((installed + 1))
        fi
    done
    sent=$(sed -nE 's/^[0-9]+ "[^"]*" [0-9]+ ([0-9]+) .*/\1/p' "$dir/requests.log" | awk '{s += $1} END {print s + 0}')
    printf '| %s | %s | %d/6 | %s | %s s | %d (%s x) |\n' "$scenario" "$label" "$installed" "${ending:-none}" \
        "$(awk -v ms="${ms:-0}" 'BEGIN {printf "%.1f", ms / 1000}')" "$sent" \
        "$(awk -v s="$sent" -v p="$product" 'BEGIN {printf "%.2f", s / p}')"
}

# SCENARIO [server options]: the earlier Setup.exe (with --old), then ours.
scenario() {
    [ -n "$only" ] && [ "$only" != "${1%%-seed*}" ] && return
    [ -n "$old" ] && measure "$1" before "$old" "${@:2}"
    measure "$1" after "$ours" "${@:2}"
}

echo "Product: $product bytes in 6 files."
echo
echo "| Scenario | Setup | Files installed | Outcome | Duration | Body bytes sent (x product) |"
echo "|---|---|---|---|---|---|"
scenario healthy --ranges
scenario cut-first --ranges --cut-first
scenario refused-3s --ranges --refuse-first 3000
scenario stall-main --ranges --stall /deri_vere/mrwgt.exe=500000
for seed in $(seq 1 10); do
    scenario "random-cut-1-in-3-seed$seed" --ranges --cut-random "3:$seed"
done
