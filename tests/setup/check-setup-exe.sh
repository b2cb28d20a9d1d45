#!/bin/sh
# Checks the shipped Setup.exe as a download: at most 1 MiB, stripped, its debug information
# in Setup.exe.debug beside it (found through the debug link), and importing only KnownDLLs:
# the system maps those from its own folder, while any other import is searched for beside
# Setup.exe first (a download folder), and loaded elevated before any of our code runs.
# Every other library (Winsock, SChannel, crypt32, BCrypt, the common controls) is loaded
# from the system folder at run time.
#   tests/setup/check-setup-exe.sh SETUP_EXE OBJDUMP
set -eu
[ $# -eq 2 ] || { echo "usage: $0 SETUP_EXE OBJDUMP" >&2; exit 2; }
exe=$1
objdump=$2
budget=1048576
# The KnownDLLs of every Windows from 7 to 11.
allowed="advapi32.dll clbcatq.dll comdlg32.dll difxapi.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll
msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll
setupapi.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll"
failures=0
fail() { printf "FAIL: %s\n" "$*"; failures=$((failures + 1)); }

size=$(stat -c %s "$exe")
echo "Setup.exe: $size bytes (budget $budget)"
[ "$size" -le "$budget" ] || fail "Setup.exe is $size bytes, over the budget of $budget"

headers=$("$objdump" -h "$exe")
if printf '%s\n' "$headers" | grep -qE ' \.debug_| \.stab'; then fail "Setup.exe carries debug sections"; fi
printf '%s\n' "$headers" | grep -q ' \.gnu_debuglink' || fail "Setup.exe has no debug link"
[ -s "$exe.debug" ] || fail "no debug file $exe.debug beside it"
if [ -s "$exe.debug" ]; then
    "$objdump" -h "$exe.debug" | grep -q ' \.debug_info' || fail "$exe.debug holds no debug information"
fi

imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
    case " $(echo $allowed) " in
    *" $dll "*) ;;
    *) fail "Setup.exe imports $dll" ;;
    esac
done
echo "imports:" $imports
[ "$failures" = 0 ] && echo "ok"
[ "$failures" = 0 ]
