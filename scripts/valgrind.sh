#!/bin/bash
# Runs the native test executables of a build directory under valgrind memcheck, leaks
# included. Any memcheck report or failed test fails that job. Prints "N passed, N failed"
# per job and a closing line over all of them.
#   scripts/valgrind.sh [build dir, default build/native]
#
# Every code path once, not every repetition: the jobs below run two at a time (one per
# core), the large executable in shards (GoogleTest's own sharding), and nxget, which many
# tests start as a child, runs under memcheck in its own suite's job only; elsewhere it runs
# bare, as the tests' peers that are not ours (nginx, squid and its helper, microsocks, the
# openssl that makes squid's password file) always do. The tests themselves see
# NX_UNDER_VALGRIND and take coarser strides through their largest tables.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/native}
logs=$build/valgrind-logs
rm -rf "$logs"
mkdir -p "$logs"
parallel=2
# The suite whose children (nxget) are traced.
nxget_suite='NxHTTPNxgetTest.*'

# name | executable | shard (index/count, or empty) | gtest filter | whether nxget is traced
JOBS=(
    "http-1|http_tests|0/3|-$nxget_suite|no"
    "http-2|http_tests|1/3|-$nxget_suite|no"
    "http-3|http_tests|2/3|-$nxget_suite|no"
    "transport|transport_tests|||no"
    "nxget|http_tests||$nxget_suite|yes"
    "base|base_tests|||no"
)

run_job() {
    local name=$1 exe=$build/tests/$2 shard=$3 filter=$4 trace=$5
    local log=$logs/$name.log skip='*/nginx,*/squid,*/basic_ncsa_auth,*/microsocks,*/openssl'
    [ "$trace" = yes ] || skip="$skip,*/nxget"
    local env=(NX_UNDER_VALGRIND=1)
    [ -n "$shard" ] && env+=(GTEST_SHARD_INDEX="${shard%/*}" GTEST_TOTAL_SHARDS="${shard#*/}")
    # Children (nxget, tests re-run in a child with another locale) run under memcheck too:
    # a re-run child must start the test program, not the bare tool. Memcheck's own output
    # goes to one file per process, so the children's stderr stays theirs (tests compare it).
    env "${env[@]}" valgrind --tool=memcheck --trace-children=yes --trace-children-skip="$skip" \
        --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
        --error-exitcode=99 --num-callers=30 --log-file="$logs/$name.%p.memcheck" \
        "$exe" ${filter:+--gtest_filter="$filter"} >"$log" 2>&1
    echo $? >"$logs/$name.rc"
}

start=$SECONDS
for job in "${JOBS[@]}"; do
    IFS='|' read -r name exe shard filter trace <<<"$job"
    if [ ! -x "$build/tests/$exe" ]; then
        echo 99 >"$logs/$name.rc"
        echo "$name: missing ($build/tests/$exe)" >"$logs/$name.log"
        continue
    fi
    while [ "$(jobs -rp | wc -l)" -ge $parallel ]; do wait -n; done
    run_job "$name" "$exe" "$shard" "$filter" "$trace" &
done
wait

total_passed=0
total_failed=0
for job in "${JOBS[@]}"; do
    IFS='|' read -r name exe shard filter trace <<<"$job"
    log=$logs/$name.log
    rc=$(cat "$logs/$name.rc")
    p=$(grep -aoE '^\[  PASSED  \] [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || true)
    f=$(grep -aoE '^\[  FAILED  \] [0-9]+ tests?, listed below' "$log" | tail -n 1 | grep -oE '[0-9]+' | head -n 1 || true)
    p=${p:-0}
    f=${f:-0}
    if [ "$rc" != 0 ] && [ "$f" = 0 ]; then
        # Every test passed but memcheck reported (or the run died): the job fails.
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
    [ "$f" != 0 ] && grep -aE '^\[  FAILED  \] [A-Za-z]|missing' "$log" | head -n 20
    echo "$name: $p passed, $f failed (valgrind exit $rc, log $log)"
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
done
echo "valgrind took $((SECONDS - start)) s"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ]
