#!/bin/sh
# Cross-builds libjpeg (IJG API) for the 32-bit Windows target from Debian's own
# libjpeg-turbo source package, without touching the machine's apt configuration.
# Usage: scripts/build-libjpeg-win32.sh OUTDIR   (OUTDIR/include, OUTDIR/lib/libjpeg.a)
set -e
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/build/deps/libjpeg-win32}
# Built for size: the installer decodes two small pictures once, so SIMD would only add its
# encoder and decoder kernels (about 200 KB) to Setup.exe, and the JPEGMEM variable (read
# with sscanf) would bring the C library's whole scanf. A build made with other settings is
# rebuilt.
cflags="-ffunction-sections -fdata-sections -DNO_GETENV"
settings="MinSizeRel $cflags WITH_SIMD=OFF"
[ -f "$out/lib/libjpeg.a" ] && [ "$(cat "$out/.settings" 2>/dev/null)" = "$settings" ] && exit 0
work=$(dirname "$out")/libjpeg-src
mkdir -p "$work"
work=$(cd "$work" && pwd)
D=$work/apt
mkdir -p "$D/sources.d" "$D/lists/partial" "$D/cache/archives/partial"
if [ ! -d "$work/src" ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$D/sources.d/debian.sources"
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$D/sources.d/debian.list"
    fi
    A="-o Dir::Etc::SourceParts=$D/sources.d -o Dir::Etc::SourceList=/dev/null -o Dir::State::Lists=$D/lists -o Dir::Cache=$D/cache"
    apt-get $A update >"$work/apt.log" 2>&1
    (cd "$work" && rm -f ./*.dsc && apt-get $A source --download-only libjpeg-turbo >>"$work/apt.log" 2>&1 &&
        dpkg-source -x libjpeg-turbo_*.dsc src >>"$work/apt.log" 2>&1)
fi
rm -rf "$out/include" "$out/lib" "$out/bin" "$out/share" "$work/build"
mkdir -p "$out"
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_INSTALL_PREFIX="$(cd "$out" && pwd)" -DENABLE_SHARED=OFF \
    -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DCMAKE_CROSSCOMPILING_EMULATOR= >"$work/cmake.log" 2>&1
cmake --build "$work/build" -j2 >"$work/build.log" 2>&1
cmake --install "$work/build" >"$work/install.log" 2>&1
test -f "$out/lib/libjpeg.a"
echo "$settings" >"$out/.settings"
