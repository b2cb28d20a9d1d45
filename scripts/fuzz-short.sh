#!/bin/bash
# The short fuzz run of the test command: builds the libFuzzer targets (clang, ASan +
# UBSan) and runs each for a few seconds from its seed corpus. A crash, leak, sanitizer
# report or broken invariant fails the target; the input that did it is kept under
# build/fuzz-short/<target>/. Ends with "N passed, N failed".
#   scripts/fuzz-short.sh [seconds per target, default 25]
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-25}
build=$repo/build/fuzz
work=$repo/build/fuzz-short
# A single input that runs longer than this is a hang.
input_timeout=10

CC=clang CXX=clang++ cmake -S "$repo/fuzz" -B "$build" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; echo "0 passed, 1 failed"; exit 1; }
cmake --build "$build" -j2 >"$build.build.log" 2>&1 ||
    { tail -n 30 "$build.build.log"; echo "0 passed, 1 failed"; exit 1; }

# Two targets at a time, one per core; the results are read in order afterwards.
jobs=2
run_target() {
    local exe=$1 dir=$2
    # The scratch corpus takes what the run finds; the seeds stay as committed.
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$exe" -max_total_time="$seconds" -timeout=$input_timeout -rss_limit_mb=2048 -print_final_stats=1 \
        corpus "$repo/fuzz/corpus/$(basename "$exe")" >run.log 2>&1)
    echo $? >"$dir/rc"
}
targets=()
for exe in "$build"/fuzz_*; do
    [ -x "$exe" ] || continue
    dir=$work/$(basename "$exe")
    rm -rf "$dir"
    mkdir -p "$dir/corpus"
    targets+=("$exe")
    while [ "$(jobs -rp | wc -l)" -ge $jobs ]; do wait -n; done
    run_target "$exe" "$dir" &
done
wait

passed=0
failed=0
for exe in "${targets[@]}"; do
    name=$(basename "$exe")
    dir=$work/$name
    rc=$(cat "$dir/rc" 2>/dev/null || echo 1)
    runs=$(grep -a -oE 'stat::number_of_executed_units: *[0-9]+' "$dir/run.log" | grep -oE '[0-9]+$')
    if [ "$rc" = 0 ]; then
        passed=$((passed + 1))
        echo "$name: passed, ${runs:-?} executions in ${seconds} s"
    else
        failed=$((failed + 1))
        echo "$name: FAILED (exit $rc), log $dir/run.log"
        grep -a -E 'invariant broken|ERROR:|SUMMARY|runtime error' "$dir/run.log" | head -n 8
        ls "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
