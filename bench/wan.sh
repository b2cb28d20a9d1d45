#!/bin/bash
# The installer over an emulated WAN link, side by side with curl: Setup.exe /VERYSILENT
# (Wine) against curl fetching the same six files on one connection, and what a connect
# under a time limit costs (nxget natively and under Wine). Needs root and the link emulator
# (NX_WAN, default ../shared/tools/wan/wan.sh beside the repository).
#   bench/wan.sh [RUNS] [LINK ...]     (default 7 runs; links 20mbit:40 100mbit:20 loopback)
# LINK is RATE:RTT_MS over the emulator (queue 1 BDP) or "loopback" (client and server in one
# namespace on 127.0.0.1). In every round each client runs once, the order rotating by one per
# round. Needs build/win32 (Setup.exe, nxget.exe, the sample product) and build/native (nxget).
# Installation time: Setup's whole run minus the same round's quick exit (/VERYSILENT /?:
# Wine's and the program's start-up, the log, and nothing else). A Windows session always
# has its desktop (the shell) running; Wine starts one (explorer.exe) for the first program
# that initialises COM when none is running, about 0.12 s, and ends it soon after the last
# such program. So that Setup and the quick exit start alike, as on Windows, a windowed
# program (notepad) keeps Wine's desktop running on a display of the script's own (Xvfb).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
RUNS=${1:-7}
shift || true
LINKS=${*:-20mbit:40 100mbit:20 loopback}
WAN=${NX_WAN:-$(cd "$repo/.." && pwd)/shared/tools/wan/wan.sh}
export WAN_NAME=nxbench
NSC=$WAN_NAME-client
HOST=dist.brindlewick.co.kr
FRESH_GETS=20 # fresh connections per connect-limit run
WORK=$repo/build/bench-wan
SETUP_EXE=$repo/build/win32/src/setup/Setup.exe
NXGET_EXE=$repo/build/win32/tools/nxget/nxget.exe
NXGET=$repo/build/native/tools/nxget/nxget
SAMPLE=$repo/build/win32/samples/www/deri_vere
FILES="uninstall.exe libmySQL50.dll libmysql.dll auto_up.exe r_ver.txt mrwgt.exe"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
[ -x "$WAN" ] || fail "no link emulator at $WAN (set NX_WAN)"
for f in "$SETUP_EXE" "$NXGET_EXE" "$NXGET" "$SAMPLE/mrwgt.exe"; do
    [ -e "$f" ] || fail "$f is missing: build both targets first (scripts/test.sh builds them)"
done
command -v nginx >/dev/null && command -v curl >/dev/null && command -v Xvfb >/dev/null ||
    fail "needs nginx, curl and Xvfb"

rm -rf "$WORK"
mkdir -p "$WORK/www" "$WORK/nginx"
cp -r "$SAMPLE" "$WORK/www/"
head -c 3 /dev/zero >"$WORK/www/tiny"
RESULTS=$WORK/results.tsv
: >"$RESULTS"
# A prefix of its own: the runs install into it.
[ -f "$repo/build/wine/.ready" ] || fail "no Wine prefix to copy (build/wine: run scripts/test.sh once)"
NX_WINE_ROOT=$repo/build/wine "$repo/scripts/wine.sh" --clone "$WORK/wine" >/dev/null 2>&1
export NX_WINE_ROOT=$WORK/wine
WINE="$repo/scripts/wine.sh"
# The name resolves inside the client namespace only (ip netns exec mounts this over /etc/hosts).
HOSTS_DIR=/etc/netns/$NSC

xvfb_pid=
cleanup() {
    "$WAN" exec client "$WINE" --server-stop >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    "$WAN" down >/dev/null 2>&1 || true
    rm -rf "$HOSTS_DIR"
}
trap cleanup EXIT

client() { "$WAN" exec client "$@"; }

for n in $(seq 141 190); do
    [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || break
done
Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=:$n

# One timed run: link, client, round, command. Wall seconds from the shell's clock, and the
# start (epoch seconds), which Setup's log lines are read against.
timed() {
    local link=$1 who=$2 round=$3 t0 t1
    shift 3
    t0=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || fail "$who ($link, round $round): exit status $?"
    t1=$EPOCHREALTIME
    printf '%s\t%s\t%s\t%s\t%s\n' "$link" "$who" "$round" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')" \
        "$t0" >>"$RESULTS"
}

run_link() { # link
    local link=$1 addr=10.199.0.2 side=server
    if [ "$link" = loopback ]; then
        addr=127.0.0.1 side=client
        "$WAN" up --rtt 1 --rate 1gbit >/dev/null
    else
        "$WAN" up --rtt "${link#*:}" --rate "${link%%:*}" --queue 1bdp >/dev/null
    fi
    mkdir -p "$HOSTS_DIR"
    printf '127.0.0.1 localhost\n%s %s\n' "$addr" "$HOST" >"$HOSTS_DIR/hosts"
    "$WAN" exec "$side" ip link set lo up
    local conf=$WORK/nginx/$link.conf
    mkdir -p "$WORK/nginx/tmp-$link"
    cat >"$conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx/$link.pid;
error_log $WORK/nginx/$link-error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $WORK/nginx/tmp-$link;
    proxy_temp_path $WORK/nginx/tmp-$link;
    fastcgi_temp_path $WORK/nginx/tmp-$link;
    uwsgi_temp_path $WORK/nginx/tmp-$link;
    scgi_temp_path $WORK/nginx/tmp-$link;
    types { application/octet-stream exe dll; text/plain txt; }
    server { listen $addr:80; root $WORK/www; }
    server { listen $addr:81; root $WORK/www; keepalive_timeout 0; }
}
EOF
    "$WAN" exec "$side" nginx -c "$conf" &
    local i
    for i in $(seq 1 50); do
        client curl -s -o /dev/null "http://$HOST/tiny" && break
        sleep 0.1
    done
    # Wine's sockets are made by its server: it must live in the client namespace.
    client "$WINE" --server-start >/dev/null 2>&1
    # The desktop a Windows session has (see the top); the server's stop ends it.
    client "$WINE" notepad >/dev/null 2>&1 &
    for i in $(seq 1 100); do
        pgrep -f 'system32\\explorer.exe /desktop' >/dev/null && break
        sleep 0.1
    done

    local curl_args=() urls=() fresh=() f
    for f in $FILES; do
        curl_args+=(-o /dev/null "http://$HOST/deri_vere/$f")
        urls+=("http://$HOST/deri_vere/$f")
    done
    for i in $(seq 1 "$FRESH_GETS"); do fresh+=("http://$HOST:81/tiny"); done
    local label=${link//:/-} clients=(curl nxget setup quick native-limit native-plain wine-limit wine-plain)
    local n=${#clients[@]} round c
    echo "== $link: 1 warm-up + $RUNS rounds"
    for round in $(seq 0 "$RUNS"); do
        for i in $(seq 0 $((n - 1))); do
            c=${clients[$(((i + round) % n))]}
            case $c in
            curl) timed "$link" "$c" "$round" client curl -sS "${curl_args[@]}" ;;
            nxget) timed "$link" "$c" "$round" client "$NXGET" "${urls[@]}" ;;
            setup) timed "$link" "$c" "$round" client "$WINE" "$SETUP_EXE" /VERYSILENT "/LOG=C:\\nxbench-$label-$round.log" ;;
            quick) timed "$link" "$c" "$round" client "$WINE" "$SETUP_EXE" /VERYSILENT /? "/LOG=C:\\nxbench-quick.log" ;;
            native-limit) timed "$link" "$c" "$round" client "$NXGET" --connect-timeout 5000 "${fresh[@]}" ;;
            native-plain) timed "$link" "$c" "$round" client "$NXGET" "${fresh[@]}" ;;
            wine-limit) timed "$link" "$c" "$round" client "$WINE" "$NXGET_EXE" --connect-timeout 5000 "${fresh[@]}" ;;
            wine-plain) timed "$link" "$c" "$round" client "$WINE" "$NXGET_EXE" "${fresh[@]}" ;;
            esac
        done
    done
    local logs=$NX_WINE_ROOT/prefix/drive_c
    for round in $(seq 0 "$RUNS"); do
        grep -q 'Outcome: completed' "$logs/nxbench-$label-$round.log" || fail "Setup ($link, round $round) did not install"
    done
    client "$WINE" --server-stop >/dev/null 2>&1 || true
    "$WAN" down >/dev/null
}

{
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "command: bench/wan.sh $RUNS $LINKS"
    echo "curl: $(curl --version | head -n1 | cut -d' ' -f1-2), nginx: $(nginx -v 2>&1 | cut -d/ -f2), wine: $("$WINE" --version 2>/dev/null)"
    echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$WORK/machine.txt"
cat "$WORK/machine.txt"
for link in $LINKS; do run_link "$link"; done
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$WORK/machine.txt"

python3 - "$RESULTS" "$FRESH_GETS" "$NX_WINE_ROOT/prefix/drive_c" >"$WORK/summary.md" <<'EOF'
import sys, statistics as st, datetime
from collections import defaultdict
runs = defaultdict(dict)  # (link, client) -> round -> seconds
starts = {}               # (link, round) -> Setup's start, epoch seconds
for line in open(sys.argv[1]):
    link, who, rnd, sec, t0 = line.rstrip("\n").split("\t")
    if rnd != "0":
        runs[(link, who)][int(rnd)] = float(sec)
        if who == "setup":
            starts[(link, int(rnd))] = float(t0)
fresh = int(sys.argv[2])

def first_request(link, rnd):
    """Seconds from Setup's start to its log's first line and to its first request."""
    path = f"{sys.argv[3]}/nxbench-{link.replace(':', '-')}-{rnd}.log"
    times = []
    for line in open(path, encoding="utf-8-sig", errors="replace"):
        stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
        when = stamp.timestamp() - starts[(link, rnd)]  # the log's local time, as Wine takes the host's
        if not times:
            times.append(when)
        if " GET " in line:
            return times[0], when
    return times[0], float("nan")
links = list(dict.fromkeys(k[0] for k in runs))
med = st.median
def paired(link, f):
    rounds = runs[(link, "curl")].keys()
    return [f(r) for r in rounds]
# The goals: the installation at most this many times curl's time, a connect under a limit
# at most 5 ms dearer than one without.
goals = {"20mbit:40": 1.08, "100mbit:20": 1.15}
def verdict(ok): return "met" if ok else "**missed**"
print("| link | curl | nxget | Setup | quick exit | Setup's first log line, first request | installation (Setup − quick) | installation / curl (paired median, min–max) | goal |")
print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
for link in links:
    g = lambda who: runs[(link, who)]
    inst = paired(link, lambda r: g("setup")[r] - g("quick")[r])
    ratio = paired(link, lambda r: (g("setup")[r] - g("quick")[r]) / g("curl")[r])
    firsts = [first_request(link, r) for r in g("setup")]
    print(f"| {link} | {med(g('curl').values()):.3f} s | {med(g('nxget').values()):.3f} s | "
          f"{med(g('setup').values()):.3f} s | {med(g('quick').values()):.3f} s | "
          f"{med(f[0] for f in firsts):.3f} s, {med(f[1] for f in firsts):.3f} s | {med(inst):.3f} s | "
          f"{med(ratio):.3f} ({min(ratio):.3f}–{max(ratio):.3f}) | "
          + (f"≤ {goals[link]}: {verdict(med(ratio) <= goals[link])} |" if link in goals else " |"))
print()
print(f"A connect under a limit: ({fresh} fresh connections with the limit − without) / {fresh}, paired median (min–max):")
print()
print("| link | native | Wine |")
print("|---|---:|---:|")
for link in links:
    g = lambda who: runs[(link, who)]
    cells = []
    for kind in ("native", "wine"):
        d = paired(link, lambda r: (g(kind + "-limit")[r] - g(kind + "-plain")[r]) / fresh * 1000)
        cells.append(f"{med(d):+.2f} ms ({min(d):+.2f}–{max(d):+.2f}), ≤ 5 ms: {verdict(med(d) <= 5)}")
    print(f"| {link} | {cells[0]} | {cells[1]} |")
EOF
echo
cat "$WORK/summary.md"
echo "results: $RESULTS"
