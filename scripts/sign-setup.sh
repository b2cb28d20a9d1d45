#!/bin/bash
# Signs a Windows program in place with an Authenticode signature (SHA-256), as the build does
# for Setup.exe when it is given NX_SIGN_PKCS12, and as the test command does with a throw-away
# certificate. The password of the PKCS#12 file comes from the environment variable
# NX_SIGN_PASSWORD (empty when unset) and reaches osslsigncode on its standard input, never on
# a command line that other users could read.
#   scripts/sign-setup.sh PKCS12 PROGRAM.exe [TIMESTAMP_URL]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 PKCS12 PROGRAM.exe [TIMESTAMP_URL]" >&2; exit 2; }
pkcs12=$1 program=$2 timestamp=${3:-}
command -v osslsigncode >/dev/null || { echo "osslsigncode is missing (scripts/deps.sh installs it)" >&2; exit 1; }
signed=$program.signing
rm -f "$signed"
args=(sign -pkcs12 "$pkcs12" -readpass - -h sha256 -n "Marrowgate Setup")
[ -n "$timestamp" ] && args+=(-ts "$timestamp")
if ! printf '%s' "${NX_SIGN_PASSWORD:-}" | osslsigncode "${args[@]}" -in "$program" -out "$signed" >/dev/null; then
    rm -f "$signed"
    echo "signing $program failed" >&2
    exit 1
fi
mv -f "$signed" "$program"
echo "signed $program"
