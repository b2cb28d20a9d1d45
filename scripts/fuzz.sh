#!/bin/bash
# A long fuzz campaign on one target, at the lowest priority, growing its corpus under
# build/fuzz-long/<target>/corpus (the seeds under fuzz/corpus stay as committed).
#   scripts/fuzz.sh TARGET [-t SECONDS | -n EXECUTIONS] [-j JOBS] [-s SANITIZERS]
#   e.g. scripts/fuzz.sh fuzz_uri -n 10000000
# With -j the campaign runs that many fuzzing processes at once (libFuzzer's fork mode);
# the limits then count for all of them together. -s builds the targets with other
# sanitizers than ASan+UBSan (e.g. -s undefined, for more executions an hour).
# Reproduce a finding: build/fuzz/TARGET path/to/crash-file
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: scripts/fuzz.sh TARGET [-t SECONDS | -n EXECUTIONS]" >&2; exit 2; }
target=$1
shift
limit=(-max_total_time=3600)
fork=()
sanitizers=address,undefined
while [ $# -gt 0 ]; do
    case "$1" in
    -t) limit=(-max_total_time="$2"); shift 2 ;;
    -n) limit=(-runs="$2"); shift 2 ;;
    -j) fork=(-fork="$2"); shift 2 ;;
    -s) sanitizers=$2; shift 2 ;;
    *) echo "usage: scripts/fuzz.sh TARGET [-t SECONDS | -n EXECUTIONS] [-j JOBS] [-s SANITIZERS]" >&2; exit 2 ;;
    esac
done
build=$repo/build/fuzz
[ "$sanitizers" = address,undefined ] || build=$repo/build/fuzz-${sanitizers//,/-}
CC=clang CXX=clang++ cmake -S "$repo/fuzz" -B "$build" -DNX_FUZZ_SANITIZERS="$sanitizers" >/dev/null && cmake --build "$build" -j2 >/dev/null || exit 1
[ -x "$build/$target" ] || { echo "no fuzz target $target" >&2; exit 2; }
dir=$repo/build/fuzz-long/$target
mkdir -p "$dir/corpus"
cd "$dir" || exit 1
ASAN_OPTIONS=detect_leaks=1 nice -n 19 "$build/$target" "${limit[@]}" "${fork[@]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 corpus "$repo/fuzz/corpus/$target" 2>&1 | tee -a run.log | grep -a -vE '^#[0-9]+.*(NEW|REDUCE|pulse)'
rc=${PIPESTATUS[0]}
echo "exit $rc; log $dir/run.log"
exit $rc
