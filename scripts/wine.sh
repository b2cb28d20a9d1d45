#!/bin/sh
# Every Wine call of the project goes through here: a private prefix, HOME and Korean
# locale under the build tree (a bare `wine` would create ~/.wine and run with code page 1252).
#   NX_WINE_ROOT  where the prefix lives (default: <repo>/build/wine)
#   NX_WINEDLLOVERRIDES  more load-order overrides for the program run
#   scripts/wine.sh PROGRAM.exe ARGS...   run a Windows program
#   scripts/wine.sh --init                only make sure the prefix exists
#   scripts/wine.sh --env                 print the environment (for `eval`)
#   scripts/wine.sh --server-start|--server-stop   keep one wineserver for a test run
#   scripts/wine.sh --clone DIR           a copy of the prefix's root in DIR (for tests that run
#                                         beside those of this one), far quicker than a new one
set -e
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${NX_WINE_ROOT:-$repo/build/wine}
mkdir -p "$root"
root=$(cd "$root" && pwd)

export LOCPATH="$root/locale"
export HOME="$root/home"
export WINEPREFIX="$root/prefix"
export WINEARCH=win32
export WINEDEBUG=${NX_WINEDEBUG:--all}
# NX_WINEDLLOVERRIDES adds to them (the end-to-end runs' planted libraries).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${NX_WINEDLLOVERRIDES:+;$NX_WINEDLLOVERRIDES}"
export LANG=ko_KR.UTF-8
export LC_ALL=ko_KR.UTF-8

init_prefix() {
    [ -f "$root/.ready" ] && return 0
    mkdir -p "$root/locale" "$HOME/Desktop"
    # Korean file names (the shortcut "루멘타.lnk") need a real glibc locale for Wine.
    [ -d "$root/locale/ko_KR.UTF-8" ] || localedef -i ko_KR -f UTF-8 "$root/locale/ko_KR.UTF-8" 2>/dev/null ||
        [ -d "$root/locale/ko_KR.UTF-8" ]
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    # No window manager under Xvfb: without this, destroying a top-level window stalls 2 s.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '굴림체' /t REG_SZ /d NanumGothicCoding /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '굴림' /t REG_SZ /d NanumGothic /f >/dev/null 2>&1
    if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    wineserver -w
    wineserver -k 2>/dev/null || true
    touch "$root/.ready"
}

# Serialise the first use: CTest may start several Windows tests at once.
(
    flock 9
    init_prefix
) 9>"$root/.lock"

case "${1:-}" in
--init) exit 0 ;;
--env)
    for v in LOCPATH HOME WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES LANG LC_ALL; do
        eval "printf 'export %s=%s\n' $v \"'\$$v'\""
    done
    exit 0
    ;;
--server-start)
    # A persistent server makes each program start in a fraction of a second. Start Wine's
    # own background services now, detached from our output: started by the first test
    # instead, they would inherit its pipes and CTest would wait on them until the time-out.
    wineserver -p
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
--server-stop) exec wineserver -k ;;
--clone)
    dest=$2
    wineserver -k 2>/dev/null || true
    rm -rf "$dest"
    mkdir -p "$(dirname "$dest")"
    cp -a "$root" "$dest"
    dest=$(cd "$dest" && pwd)
    # The user's folders (Desktop among them) link into the root's own home: the copy's must
    # lead into its home, or both would share one desktop.
    find "$dest" -type l -lname "$root/*" | while read -r link; do
        target=$(readlink "$link")
        ln -sfn "$dest${target#"$root"}" "$link"
    done
    exit 0
    ;;
esac
exec wine "$@"
