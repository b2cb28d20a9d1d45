#!/bin/bash
# Runs the native test executables of a build directory under valgrind memcheck, leaks
# included. Any memcheck report or failed test fails that executable. Prints
# "N passed, N failed" per executable and a closing line over all of them.
#   scripts/valgrind.sh [build dir, default build/native]
#
# Left out, because their timing means nothing at valgrind's speed (they measure
# time-outs or pauses against wall-clock bounds): see SKIP below.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/native}
logs=$build/valgrind-logs
mkdir -p "$logs"

declare -A SKIP=(
    [base_tests]=""
    [transport_tests]=""
    [http_tests]=""
)

total_passed=0
total_failed=0
for name in base_tests transport_tests http_tests; do
    exe=$build/tests/$name
    [ -x "$exe" ] || { echo "$name: missing ($exe)"; total_failed=$((total_failed + 1)); continue; }
    filter=${SKIP[$name]}
    log=$logs/$name.log
    rm -f "$logs/$name".*.memcheck
    # Children (nxget, tests re-run in a child with another locale) run under memcheck
    # too: a re-run child must start the test program, not the bare tool. Memcheck's own
    # output goes to one file per process, so the children's stderr stays theirs (tests
    # compare it).
    # nginx is the tests' peer, not ours.
    valgrind --tool=memcheck --trace-children=yes --trace-children-skip='*/nginx' --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --num-callers=30 \
        --log-file="$logs/$name.%p.memcheck" \
        "$exe" ${filter:+--gtest_filter="-$filter"} >"$log" 2>&1
    rc=$?
    p=$(grep -aoE '^\[  PASSED  \] [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || true)
    f=$(grep -aoE '^\[  FAILED  \] [0-9]+ tests?, listed below' "$log" | tail -n 1 | grep -oE '[0-9]+' | head -n 1 || true)
    p=${p:-0}
    f=${f:-0}
    if [ $rc != 0 ] && [ "$f" = 0 ]; then
        # Every test passed but memcheck reported (or the run died): the executable fails.
        f=1
    fi
    reports=$(grep -lE 'ERROR SUMMARY: [1-9]' "$logs/$name".*.memcheck 2>/dev/null)
    if [ -n "$reports" ]; then
        [ "$f" = 0 ] && f=1
        for r in $reports; do
            echo "memcheck report: $r"
            grep -aE '== (Invalid|Conditional|Use of|Mismatched|Syscall|Source and destination)|definitely lost in|indirectly lost in' "$r" | head -n 5
        done
    fi
    [ "$f" != 0 ] && grep -aE '^\[  FAILED  \] [A-Za-z]' "$log" | head -n 20
    echo "$name: $p passed, $f failed (valgrind exit $rc, log $log)"
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
done
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ]
