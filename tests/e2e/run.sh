#!/bin/bash
# The end-to-end installation runs: the shipped Setup.exe under Wine, in a private network
# in which the distribution host is 127.0.0.1, against nginx, against our own server (for
# cut, stalled and trickled bodies, resumes and refused connections) or against no server. Each case gets the server it needs
# and runs one test of e2e_tests.exe; the cases run in order, because some start from the
# installation an earlier one left. Ends with "N passed, N failed".
#   tests/e2e/run.sh [WIN32_BUILD [NATIVE_BUILD]]    (default build/win32 and build/native)
#   NX_E2E_ONLY=NAME tests/e2e/run.sh                 only the cases whose name holds NAME
# Needs root (for the namespace), an X display in DISPLAY, and the Wine prefix of
# NX_WINE_ROOT (scripts/wine.sh's default when unset).
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine=$repo/scripts/wine.sh

# Inside the namespace: our server on port 80 for the duration of a command.
#   run.sh --serve-ours ROOT LOG [server options...] -- COMMAND...
if [ "${1:-}" = "--serve-ours" ]; then
    shift
    server=$1 root=$2 log=$3
    shift 3
    opts=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
    shift
    : >"$log"
    "$server" 80 "$root" "$log" "${opts[@]}" &
    pid=$!
    # A server that refuses its first connections is meant to be met down.
    case " ${opts[*]} " in
    *" --refuse-first "*) ;;
    *) for _ in $(seq 50); do
            (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
            sleep 0.1
        done ;;
    esac
    "$@"
    rc=$?
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit $rc
fi

win=$(cd "${1:-$repo/build/win32}" && pwd)
native=$(cd "${2:-$repo/build/native}" && pwd)
exe=$win/tests/e2e_tests.exe
https_setup=$win/src/setup/SetupHttps.exe
server=$native/tests/e2e_server
sample=$win/samples/www
work=$repo/build/e2e
for f in "$exe" "$server" "$sample/deri_vere/mrwgt.exe" "$https_setup" "$native/tests/tls_peer"; do
    [ -e "$f" ] || { echo "missing $f (build the win32 and native presets first)"; echo "0 passed, 1 failed"; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no X display (DISPLAY)"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
"$wine" --init >/dev/null || { echo "no Wine prefix"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0

# A copy of the sample product for one case.
served() {
    mkdir -p "$work/$1/www"
    cp -r "$sample/deri_vere" "$work/$1/www/"
    echo "$work/$1/www"
}

# One case: TEST KIND [WWW] [options]. TEST is a test of the Install suite or Suite.Name. KIND
# is nginx, nginx-paced (every request held back to two a second, so that each state of the
# window lasts a moment), nginx-tls (https on port 443 with a certificate of a private root
# that the namespace trusts, and the installer built with the https base URL), ours or down.
case_() {
    local test=$1 kind=$2 www=${3:--}
    # NX_E2E_ONLY: only the cases whose name holds it (those that need an earlier case's
    # installation then need that case too).
    [[ -z "${NX_E2E_ONLY:-}" || $test == *"$NX_E2E_ONLY"* ]] || return 0
    shift 3 2>/dev/null || shift $#
    local logs=$work/$test
    mkdir -p "$logs"
    local filter=$test
    [[ $test == *.* ]] || filter=Install.$test
    local run=(env NX_E2E_WWW="$www" "$wine" "$exe" --gtest_filter="$filter" --gtest_color=no)
    # A wineserver outside the namespace would serve the outside network.
    "$wine" --server-stop >/dev/null 2>&1
    local start=$SECONDS
    case $kind in
    nginx)
        "$repo/scripts/netns-serve.sh" "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" "${run[@]}" ;;
    nginx-paced)
        "$repo/scripts/netns-serve.sh" --http-extra 'limit_req_zone $binary_remote_addr zone=paced:1m rate=2r/s;' \
            --conf-extra 'limit_req zone=paced burst=20;' "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" "${run[@]}" ;;
    nginx-tls)
        "$repo/scripts/netns-serve.sh" --tls "$work/certs" "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" NX_E2E_SETUP="$https_setup" "${run[@]}" ;;
    ours)
        "$repo/scripts/netns-serve.sh" - "$logs/server" -- \
            "$0" --serve-ours "$server" "$www" "$logs/server/requests.log" "$@" -- \
            env NX_E2E_LOG="$logs/server/requests.log" "${run[@]}" ;;
    down)
        "$repo/scripts/netns-serve.sh" - "$logs/server" -- "${run[@]}" ;;
    esac >"$logs/test.log" 2>&1
    local rc=$?
    if [ $rc = 0 ] && grep -q '^\[  PASSED  \] 1 test' "$logs/test.log"; then
        passed=$((passed + 1))
        echo "ok   $test ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        echo "FAIL $test ($((SECONDS - start)) s, exit $rc)"
        grep -vE '^(\[ RUN|\[       OK|[0-9a-f]{4}:(fixme|err|warn))' "$logs/test.log" | tail -n 40
    fi
}

full=$(served full)
case_ FullRunFromAFreshMachine nginx-paced "$full"

noversion=$(served noversion)
rm "$noversion/deri_vere/r_ver.txt"
case_ WithoutTheVersionFileTheEarlierProgramStays nginx "$noversion"

newer=$(served newer)
printf 'a newer line\n' >>"$newer/deri_vere/r_ver.txt"
case_ ARunningProgramCannotBeReplaced nginx "$newer"

case_ WithoutTheVersionFileAFreshMachineGetsTheFailureBox nginx "$noversion"

broken=$(served broken)
rm "$broken/deri_vere/libmysql.dll"
case_ AMissingAndACutFileAreSkippedAndTheRunCompletes ours "$broken" --cut /deri_vere/auto_up.exe=5000

case_ AServerThatIsDownEndsInTheFailureBox down

slow=$(served slow)
case_ CancelDuringASlowDownloadStopsTheRun ours "$slow" --trickle 1000:50

cut=$(served cut)
case_ EveryFileCutOnceIsResumedAndTheLogNamesEachAttempt ours "$cut" --ranges --cut-first

late=$(served late)
case_ AServerThatRefusesAtFirstIsWaitedFor ours "$late" --ranges --refuse-first 3000

stall=$(served stall)
case_ AStalledMainProgramIsFetchedAgainAfterTheStallLimit ours "$stall" --ranges --stall /deri_vere/mrwgt.exe=500000

refusing=$(served refusing)
case_ ACloseDuringARetryWaitEndsTheProgramAtOnce ours "$refusing" --refuse-first 600000

# Unattended installations: /VERYSILENT, /SILENT, a second copy, a bad command line.
quiet=$(served verysilent)
case_ Unattended.VerySilentInstallsWithoutAnyWindow nginx "$quiet"
case_ Unattended.VerySilentAgainstAServerThatIsDownFails down
case_ Unattended.SilentShowsOnlyTheInstallationPageAndEndsByItself nginx-paced "$quiet"
case_ Unattended.SilentClosedDuringATrickledDownloadIsCancelled ours "$(served silent-slow)" --trickle 1000:50
case_ Unattended.ABadCommandLineExitsWithThree down

"$native/tests/tls_peer" --certs "$work/certs" >/dev/null
secure=$(served secure)
case_ FullRunOverHttps nginx-tls "$secure"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
