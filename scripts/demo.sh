#!/bin/bash
# The main job: builds Setup.exe and the sample product, serves the product from nginx in a
# private network in which the distribution host is 127.0.0.1 (nothing leaves the machine)
# and runs the installer, the very program we ship, under Wine. Then prints what was
# installed: the install folder, the rewritten r_ver.txt, the uninstall entry and the
# desktop shortcut as lnkinfo reads it.
#   scripts/demo.sh [--auto] [--shots DIR] [--tamper]
# The installer is built with a demo key of its own (made once, in build/demo/keys) and the
# served product is signed with it (nxmanifest): the log shows the manifest and each file's
# verdict. With --tamper one byte of the served main program is changed after signing, and the
# installer refuses it.
# With DISPLAY set the installer opens on that display for a person to click through, and
# the script goes on when its window closes. Without DISPLAY (or with --auto) it runs on a
# display of its own (Xvfb) and is driven through the pages, saving a screenshot of each
# page (in build/demo/screenshots, or DIR). Needs root: it installs what is missing and
# makes the network namespace.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
auto=
tamper=
shots=$repo/build/demo/screenshots
while [ $# -gt 0 ]; do
    case "$1" in
    --auto) auto=1; shift ;;
    --tamper) tamper=1; shift ;;
    --shots) shots=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
    --inside) break ;;
    *) echo "usage: scripts/demo.sh [--auto] [--shots DIR] [--tamper]" >&2; exit 2 ;;
    esac
done
build=$repo/build/win32
wine=$repo/scripts/wine.sh
export NX_WINE_ROOT=${NX_WINE_ROOT:-$repo/build/demo-wine}
setup_exe=$build/src/setup/Setup.exe
driver=$build/tests/setup/setup_driver.exe
nxmanifest=$repo/build/native/tools/nxmanifest/nxmanifest
keys=$repo/build/demo/keys
www=$repo/build/demo/www

# --- inside the namespace: run the installer and report -----------------------------------
if [ "${1:-}" = "--inside" ]; then
    auto=$2 shots=$3
    # Control identifiers: the design table's row + 100.
    Label1=102 Button1=127 Button3=130 Button4=131
    drive() { "$wine" "$driver" "$@" 2>/dev/null | tr -d '\r'; }
    label1() { drive list | sed -n "s/^$Label1 [^\"]*\"\(.*\)\"$/\1/p"; }
    shot() {
        sleep 0.7
        import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shots/$1.png"
        echo "screenshot: $shots/$1.png"
    }
    "$wine" "$setup_exe" >"$repo/build/demo/setup.log" 2>&1 &
    setup_pid=$!
    read -r x y w h < <(drive wait) || { echo "the installer's window did not open" >&2; exit 1; }
    if [ -n "$auto" ]; then
        mkdir -p "$shots"
        rm -f "$shots"/4-*.png
        shot 1-licence
        drive click $Button1
        shot 2-component
        drive press $Button3
        shot 3-installation
        box=
        for _ in $(seq 240); do
            [ "$(label1)" = "설치완료" ] && break
            box=$(drive box) && break
            sleep 0.5
        done
        if [ -n "$box" ]; then
            # The refusal: its box, then "취소" (nothing is started).
            sleep 0.7
            import -window root "$shots/4-refused.png"
            echo "screenshot: $shots/4-refused.png"
            echo "the installer's box: $box"
            drive dismiss
            drive click $Button4
        else
            [ "$(label1)" = "설치완료" ] || { echo "the installation did not complete" >&2; drive list >&2; exit 1; }
            shot 4-completion
            drive click $Button4 # "완료": the installer ends and starts the installed program
        fi
    else
        echo "The installer is open on $DISPLAY: click through it; this script goes on when it closes."
    fi
    wait "$setup_pid" || true

    echo
    echo "== requests the server answered"
    sed 's/^[0-9]* //' "$NX_NGINX_ACCESS_LOG"
    reg_value() { iconv -f CP949 -t UTF-8 | tr -d '\r' | sed -n "s/^    $1    REG_SZ    //p"; }
    folders=$("$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' 2>/dev/null)
    local_appdata=$(reg_value 'Local AppData' <<<"$folders")
    desktop=$(reg_value Desktop <<<"$folders")
    install=$("$wine" winepath -u "$local_appdata\\Brindlewick\\Marrowgate" 2>/dev/null | tr -d '\r')
    echo
    echo "== install folder ($local_appdata\\Brindlewick\\Marrowgate)"
    ls -l "$install" 2>/dev/null || echo "(none)"
    echo
    echo "== r_ver.txt as installed (\$ marks a line end, ^M a CR)"
    cat -A "$install/r_ver.txt" 2>/dev/null || echo "(none)"
    echo
    echo "== uninstall entry"
    "$wine" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\mgatedesk' 2>/dev/null |
        iconv -f CP949 -t UTF-8 | tr -d '\r' | grep . || echo "(none)"
    echo
    echo "== desktop shortcut"
    link="$("$wine" winepath -u "$desktop" 2>/dev/null | tr -d '\r')/루멘타.lnk"
    if [ -f "$link" ]; then lnkinfo "$link" | grep -E 'Local path|Working directory'; else echo "(none)"; fi
    echo
    echo "== the installed program's own note of its start"
    sleep 2
    if [ -f "$install/mrwgt.ran" ]; then
        echo "mrwgt.exe started, command line [$(tr -d '\r\n' <"$install/mrwgt.ran")]"
    else
        echo "(not started)"
    fi
    echo
    echo "== the installation log (the newest in %TEMP%)"
    temp=$("$wine" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
    temp=$("$wine" winepath -u "$temp" 2>/dev/null | tr -d '\r')
    log=$(ls -t "$temp"/Marrowgate-Setup-*.log 2>/dev/null | head -n 1)
    if [ -n "$log" ]; then echo "$log"; sed 's/^\xEF\xBB\xBF//' "$log"; else echo "(none)"; fi
    exit 0
fi

# --- outside: install, build, display, namespace -------------------------------------------
scripts/deps.sh
scripts/build-libjpeg-win32.sh "$repo/build/deps/libjpeg-win32"
# The vendor's side: its signing tool (native) and a demo key, made once.
cmake --preset native >/dev/null
cmake --build --preset native --target nxmanifest
mkdir -p "$repo/build/demo"
[ -f "$keys/public.pem" ] || { mkdir -p "$keys" && "$nxmanifest" keygen "$keys/private.pem" "$keys/public.pem"; }
cmake --preset win32 -DNX_MANIFEST_PUBLIC_KEY="$keys/public.pem" >/dev/null
cmake --build --preset win32 --target Setup sample_product setup_driver
# The release folder as the vendor uploads it: the sample product and its signed manifest.
rm -rf "$www"
mkdir -p "$www"
cp -r "$build/samples/www/deri_vere" "$www/"
"$nxmanifest" sign --key "$keys/private.pem" --serial 1 --valid-days 30 "$www/deri_vere"
if [ -n "$tamper" ]; then
    # What someone on the network path or on the server would do: the program changed after
    # the vendor signed it.
    perl -e 'open(F, "+<", $ARGV[0]) or die; seek(F, 1000, 0); read(F, $c, 1); seek(F, 1000, 0);
             print F chr(ord($c) ^ 1)' "$www/deri_vere/mrwgt.exe"
    echo "tampered: one byte of the served mrwgt.exe changed after signing"
fi
xvfb_pid=
cleanup() {
    "$wine" --server-stop >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    auto=1
    n=160
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=:$n
    sleep 1
fi
"$wine" --init
# A fresh machine for every demonstration: no installation of an earlier one.
"$wine" --server-stop >/dev/null 2>&1 || true
rm -rf "$NX_WINE_ROOT"/prefix/drive_c/users/*/AppData/Local/Brindlewick \
    "$NX_WINE_ROOT"/prefix/drive_c/users/*/Desktop/루멘타.lnk
"$wine" reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\mgatedesk' /f >/dev/null 2>&1 || true
"$wine" --server-stop >/dev/null 2>&1 || true
# Requests held back to two a second, so that each step of the run can be seen.
scripts/netns-serve.sh --http-extra 'limit_req_zone $binary_remote_addr zone=paced:1m rate=2r/s;' \
    --conf-extra 'limit_req zone=paced burst=20;' "$www" "$repo/build/demo/server" -- \
    "$0" --inside "$auto" "$shots"
