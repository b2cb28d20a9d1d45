#!/bin/sh
# The wizard at several display scales under Wine: for each DPI the prefix of these runs gets
# it as its LogPixels and its wineserver is restarted (Wine reads the DPI when the server
# starts); then the page walks and the layout tests run with NX_EXPECT_DPI set, so that a run
# that stayed at 96 DPI fails instead of passing unnoticed.
#   tests/setup/run-dpi.sh SETUP_TESTS_EXE [DPI...]     (default DPIs: 96 120 144 192)
# Needs DISPLAY. The prefix is NX_DPI_WINE_ROOT (default build/wine-dpi), never the one of the
# other Windows tests. Ends with "N passed, N failed"; exits non-zero on any failure.
set -u
[ $# -ge 1 ] || { echo "usage: $0 SETUP_TESTS_EXE [DPI...]" >&2; exit 2; }
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
[ $# -gt 0 ] || set -- 96 120 144 192
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine_sh=$repo/scripts/wine.sh
export NX_WINE_ROOT=${NX_DPI_WINE_ROOT:-$repo/build/wine-dpi}
[ -n "${DISPLAY:-}" ] || { echo "DISPLAY is not set" >&2; exit 2; }
# Every test at one DPI, the walk's Setup.exe starts included, ends well within this.
limit=300
filter='SetupWalk.*:SetupMainTest.LaidOutForTheDisplayScale:SetupMainTest.FollowsADpiChangeAndComesBack'
filter=$filter':SetupMainTest.PagesSwitchAsTheButtonsSay:SetupMainTest.TabMovesThroughTheShownControlsInTheirOrder'
filter=$filter':SetupMainTest.ComponentPageHidesTheLicenceEvenInsideItsGroupBoxes'
log=$(mktemp)
trap '"$wine_sh" --server-stop >/dev/null 2>&1; rm -f "$log"' EXIT

"$wine_sh" --init || { echo "0 passed, 1 failed"; exit 1; }
passed=0
failed=0
for dpi in "$@"; do
    "$wine_sh" --server-stop >/dev/null 2>&1
    "$wine_sh" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    "$wine_sh" --server-stop >/dev/null 2>&1
    "$wine_sh" --server-start
    NX_EXPECT_DPI=$dpi timeout -k 10 $limit "$wine_sh" "$exe" --gtest_filter="$filter" >"$log" 2>&1
    rc=$?
    ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -n 1)
    bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$log" | tail -n 1)
    ok=${ok:-0}
    bad=${bad:-0}
    # A run that ended without its summary (a crash, the time limit) counts as one failure.
    [ "$rc" != 0 ] && [ "$bad" = 0 ] && bad=1
    [ "$ok" = 0 ] && [ "$bad" = 0 ] && bad=1
    echo "$dpi DPI: $ok passed, $bad failed"
    [ "$bad" = 0 ] || grep -E '^\[  FAILED  \]|Failure|exception|Expected|Which is|actual|DPI' "$log" | head -n 40
    passed=$((passed + ok))
    failed=$((failed + bad))
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
