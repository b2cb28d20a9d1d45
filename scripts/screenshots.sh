#!/bin/sh
# Saves the wizard's pictures into docs/screenshots/: a PNG of each page, taken during a real
# installation from the sample server (the main job, driven on a display of its own), and the
# licence page at 144 and 192 DPI (150 % and 200 %), each in a Wine prefix set to that DPI.
#   scripts/screenshots.sh [--dpi-only]     (--dpi-only: only the licence page at 144 and 192
#                                            DPI, which needs neither root nor the network)
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
shots=$repo/docs/screenshots
if [ "${1:-}" != --dpi-only ]; then
    DISPLAY= "$repo/scripts/demo.sh" --auto --shots "$shots"
fi

build=$repo/build/win32
wine=$repo/scripts/wine.sh
driver=$build/tests/setup/setup_driver.exe
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target Setup setup_driver >/dev/null
export NX_WINE_ROOT=$repo/build/shots-wine
n=170
while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
Xvfb :$n -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap '"$wine" --server-stop >/dev/null 2>&1; kill $xvfb_pid 2>/dev/null' EXIT
export DISPLAY=:$n
"$wine" --init
for dpi in 144 192; do
    "$wine" --server-stop >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    "$wine" --server-stop >/dev/null 2>&1 || true
    "$wine" --server-start
    "$wine" "$build/src/setup/Setup.exe" >/dev/null 2>&1 &
    setup_pid=$!
    geometry=$("$wine" "$driver" wait 2>/dev/null | tr -d '\r') || { echo "no Setup window at $dpi DPI" >&2; exit 1; }
    set -- $geometry
    sleep 0.7
    import -window root -crop "${3}x${4}+${1}+${2}" +repage "$shots/1-licence-${dpi}dpi.png"
    echo "screenshot: $shots/1-licence-${dpi}dpi.png (${3} x ${4})"
    "$wine" "$driver" close >/dev/null 2>&1
    wait "$setup_pid" || true
done
