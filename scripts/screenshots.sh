#!/bin/sh
# Saves a PNG of each page of the wizard into docs/screenshots/: it starts Setup.exe under
# Wine on an X display (its own Xvfb unless DISPLAY is set), walks the pages with the test
# driver and crops each picture to the window.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build/win32, as built by the win32 preset)
# The completion page is reached only at the end of a real installation; for its picture the
# driver sets the texts that the run's last step sets and shows the page.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build/win32}" && pwd)
out=$repo/docs/screenshots
setup_exe=$build/src/setup/Setup.exe
driver=$build/tests/setup/setup_driver.exe
[ -f "$setup_exe" ] && [ -f "$driver" ] || { echo "build Setup and setup_driver first ($build)" >&2; exit 1; }
export NX_WINE_ROOT=${NX_WINE_ROOT:-$repo/build/screenshots-wine}
wine=$repo/scripts/wine.sh
mkdir -p "$out"

xvfb_pid=
setup_pid=
cleanup() {
    [ -n "$setup_pid" ] && kill "$setup_pid" 2>/dev/null
    "$wine" --server-stop >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    n=150
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=:$n
    sleep 1
fi
"$wine" --init
"$wine" --server-start

# Control identifiers: the design table's row + 100.
Label1=102 Label2=103 Panel7=123 Button1=127 Button3=130 Button4=131 Button5=132
drive() { "$wine" "$driver" "$@" >"$NX_WINE_ROOT/driver.out" 2>&1; }
shot() {
    sleep 0.5
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$1.png"
    echo "$out/$1.png"
}

"$wine" "$setup_exe" >/dev/null 2>&1 &
setup_pid=$!
drive wait
read -r x y w h <"$NX_WINE_ROOT/driver.out"
shot 1-licence
drive click $Button1
shot 2-component
drive click $Button5
shot 3-back-to-licence
drive click $Button1
drive click $Button3
shot 4-installation
drive settext $Label1 "설치완료"
drive settext $Label2 "설치가 완료되었습니다."
drive settext $Button4 "완료"
drive show $Panel7
shot 5-completion
# Put "취소" back so that closing starts nothing.
drive settext $Button4 "취소"
drive close
wait "$setup_pid" 2>/dev/null || true
setup_pid=
