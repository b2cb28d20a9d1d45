#!/bin/bash
# The whole test run: installs what is missing, builds both targets, runs every native
# test and every Windows test (under Wine, with its own Xvfb display), and ends with
# "N passed, N failed". Exits non-zero on any failure.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
start=$(date +%s)
logs=$repo/build/test-logs
mkdir -p "$logs"
passed=0
failed=0
xvfb_pid=

# Each step's wall time, for the table at the end.
phases=()
phase_start=$SECONDS
phase_name=
step() {
    [ -n "$phase_name" ] && phases+=("$((SECONDS - phase_start)) s  $phase_name")
    phase_name=$*
    phase_start=$SECONDS
    printf '\n== %s\n' "$*"
}
die() {
    echo "FAILED: $*" >&2
    echo "$passed passed, $((failed + 1)) failed"
    exit 1
}
cleanup() {
    [ -n "${NX_WINE_ROOT:-}" ] && "$repo/scripts/wine.sh" --server-stop >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# Adds the counts of one CTest run ("NN% tests passed, F tests failed out of T").
count_ctest() {
    local line t f
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
}

# Adds the counts of a run that ends with its own "N passed, N failed" line.
count_plain() {
    local line
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + $(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
}

step "dependencies"
scripts/deps.sh || die "installing dependencies"
scripts/build-libjpeg-win32.sh "$repo/build/deps/libjpeg-win32" || die "cross-building libjpeg"

for preset in native native-asan win32; do
    step "build $preset"
    cmake --preset $preset >"$logs/configure-$preset.log" 2>&1 || { cat "$logs/configure-$preset.log"; die "configure $preset"; }
    cmake --build --preset $preset >"$logs/build-$preset.log" 2>&1
    rc=$?
    grep -E 'error|warning:' "$logs/build-$preset.log" | head -n 40
    if [ $rc != 0 ]; then
        tail -n 30 "$logs/build-$preset.log"
        die "build $preset"
    fi
done

step "native tests"
ctest --preset native 2>&1 | tee "$logs/ctest-native.log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
count_ctest "$logs/ctest-native.log"

step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset native-asan 2>&1 | tee "$logs/ctest-native-asan.log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
count_ctest "$logs/ctest-native-asan.log"

step "native tests under valgrind memcheck"
scripts/valgrind.sh "$repo/build/native" >"$logs/valgrind.log" 2>&1
tail -n 5 "$logs/valgrind.log"
count_plain "$logs/valgrind.log"

step "short fuzz runs (ASan + UBSan)"
scripts/fuzz-short.sh "${NX_FUZZ_SECONDS:-15}" >"$logs/fuzz-short.log" 2>&1
tail -n 8 "$logs/fuzz-short.log"
count_plain "$logs/fuzz-short.log"

step "Windows tests under Wine"
export NX_WINE_ROOT=$repo/build/wine
for n in $(seq 91 140); do
    [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || break
done
Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=:$n
scripts/wine.sh --init || die "creating the Wine prefix"
scripts/wine.sh --server-start
ctest --preset win32 2>&1 | tee "$logs/ctest-win32.log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
count_ctest "$logs/ctest-win32.log"

step "the wizard at 96, 120, 144 and 192 DPI (Wine prefix of its own)"
# A copy of the tests' prefix, far quicker than booting a new one.
[ -f "$repo/build/wine-dpi/.ready" ] || scripts/wine.sh --clone "$repo/build/wine-dpi"
tests/setup/run-dpi.sh "$repo/build/win32/tests/setup/setup_tests.exe" 2>&1 | tee "$logs/dpi.log"
count_plain "$logs/dpi.log"

step "end-to-end installation runs (Wine, private network, nginx and our own server)"
tests/e2e/run.sh "$repo/build/win32" "$repo/build/native" 2>&1 | tee "$logs/e2e.log"
count_plain "$logs/e2e.log"

step "done"
echo
printf '%s\n' "${phases[@]}"
echo "Test run took $(($(date +%s) - start)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
