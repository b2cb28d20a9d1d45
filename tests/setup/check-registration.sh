#!/bin/sh
# Checks the uninstall entry and the desktop shortcut with tools that are not ours: Wine's
# `reg query` for the registry and `lnkinfo` (liblnk-utils) for the shortcut file.
#   tests/setup/check-registration.sh SETUP_TESTS_EXE
# Runs the test that leaves an installation's entry and shortcut in place, then compares
# them with the folders the Wine prefix reports. NX_WINE_ROOT selects the prefix, as for
# scripts/wine.sh. Exits non-zero on the first mismatch.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 SETUP_TESTS_EXE" >&2; exit 2; }
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine_sh=$repo/scripts/wine.sh
command -v lnkinfo >/dev/null || { echo "lnkinfo missing (package liblnk-utils)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A program named reg.exe in the current folder would shadow Wine's own.
cd "$work"

fail() { printf "FAIL: %s\n" "$*" >&2; exit 1; }
check() { # name actual expected
    [ "$2" = "$3" ] || fail "$1: got [$2], expected [$3]"
    printf "ok: %s = %s\n" "$1" "$2"
}
# One REG_SZ value out of `reg query` output (CP949, CR LF).
value() { iconv -f CP949 -t UTF-8 "$1" | tr -d '\r' | sed -n "s/^    $2    REG_SZ    //p"; }

"$wine_sh" "$exe" --gtest_filter=RegistrationShortcutTest.InstallerRunLeavesEntryAndShortcutInPlace >run.log 2>&1 ||
    { cat run.log; fail "the test that leaves the registration in place"; }

"$wine_sh" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\mgatedesk' >uninstall.txt 2>&1 ||
    fail "no uninstall key"
"$wine_sh" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' >folders.txt 2>&1 ||
    fail "no Shell Folders key"

install="$(value folders.txt 'Local AppData')\\Brindlewick\\Marrowgate"
command="$install/uninstall.exe"
case "$command" in *" "*) command="\"$command\"" ;; esac
check DisplayName "$(value uninstall.txt DisplayName)" "루멘타"
check UninstallString "$(value uninstall.txt UninstallString)" "$command"

desktop=$(value folders.txt Desktop)
[ -n "$desktop" ] || fail "no Desktop value"
unix_desktop=$("$wine_sh" winepath -u "$desktop" 2>/dev/null | tr -d '\r')
link="$unix_desktop/루멘타.lnk"
[ -f "$link" ] || fail "no shortcut at $link"
lnkinfo "$link" >lnk.txt || fail "lnkinfo cannot read $link"
field() { sed -n "s/^[[:space:]]*$1[[:space:]]*: //p" lnk.txt; }
check "link local path" "$(field 'Local path')" "$(printf '%s' "$install\\mrwgt.exe")"
check "link working directory" "$(field 'Working directory')" "$install/"
echo "registration checks passed"
