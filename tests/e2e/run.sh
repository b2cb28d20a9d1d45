#!/bin/bash
# The end-to-end installation runs: the shipped Setup.exe under Wine, in a private network
# in which the distribution host is 127.0.0.1, against nginx, against our own server (for
# cut, stalled and trickled bodies, resumes and refused connections) or against no server. Each case gets the server it needs
# and runs one test of e2e_tests.exe; the cases run in order, because some start from the
# installation an earlier one left. Ends with "N passed, N failed".
#   tests/e2e/run.sh [WIN32_BUILD [NATIVE_BUILD]]    (default build/win32 and build/native)
#   NX_E2E_ONLY=NAME tests/e2e/run.sh                 only the cases whose name holds NAME
# Needs root (for the namespace), an X display in DISPLAY, and the Wine prefix of
# NX_WINE_ROOT (scripts/wine.sh's default when unset).
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine=$repo/scripts/wine.sh

# Inside the namespace: our server on port 80 for the duration of a command.
#   run.sh --serve-ours ROOT LOG [server options...] -- COMMAND...
if [ "${1:-}" = "--serve-ours" ]; then
    shift
    server=$1 root=$2 log=$3
    shift 3
    opts=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
    shift
    : >"$log"
    "$server" 80 "$root" "$log" "${opts[@]}" &
    pid=$!
    # A server that refuses its first connections is meant to be met down.
    case " ${opts[*]} " in
    *" --refuse-first "*) ;;
    *) for _ in $(seq 50); do
            (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
            sleep 0.1
        done ;;
    esac
    "$@"
    rc=$?
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit $rc
fi

# Inside the namespace: squid on 127.0.0.1:3128 (open) and :3129 (Basic, the user nxproxy), the
# only one that can resolve the distribution host (netns-serve.sh --proxy-only), for the duration
# of a command.
#   run.sh --serve-proxy LOGDIR -- COMMAND...
if [ "${1:-}" = "--serve-proxy" ]; then
    dir=$2
    shift 3
    mkdir -p "$dir"
    chmod 777 "$dir" # squid works as the user "proxy"
    printf 'nxproxy:%s\n' "$(openssl passwd -apr1 "$NX_E2E_PROXY_PASSWORD")" >"$dir/passwd"
    chmod 644 "$dir/passwd"
    cat >"$dir/squid.conf" <<CONF
http_port 127.0.0.1:3128
http_port 127.0.0.1:3129 name=auth
hosts_file $NX_PROXY_HOSTS
pid_filename $dir/squid.pid
cache deny all
cache_mem 8 MB
access_log stdio:$dir/access.log squid
cache_log $dir/cache.log
cache_store_log none
coredump_dir $dir
pinger_enable off
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/passwd
auth_param basic children 1 startup=1 idle=1
auth_param basic realm Marrowgate test proxy
acl authport myportname auth
acl users proxy_auth REQUIRED
http_access allow authport users
http_access deny authport
http_access allow localhost
http_access deny all
CONF
    : >"$dir/access.log"
    chmod 666 "$dir/access.log"
    squid -N -f "$dir/squid.conf" >"$dir/squid.out" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/3129) 2>/dev/null && break
        sleep 0.05
    done
    "$@"
    rc=$?
    # squid takes seconds to stop on SIGTERM; nothing it holds is worth the wait.
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit $rc
fi

win=$(cd "${1:-$repo/build/win32}" && pwd)
native=$(cd "${2:-$repo/build/native}" && pwd)
exe=$win/tests/e2e_tests.exe
https_setup=$win/src/setup/SetupHttps.exe
keyed_setup=$win/src/setup/SetupKeyed.exe
keys=$win/test-keys
nxmanifest=$native/tools/nxmanifest/nxmanifest
server=$native/tests/e2e_server
sample=$win/samples/www
work=$repo/build/e2e
for f in "$exe" "$server" "$sample/deri_vere/mrwgt.exe" "$https_setup" "$native/tests/tls_peer" "$keyed_setup" \
    "$keys/private.pem" "$nxmanifest"; do
    [ -e "$f" ] || { echo "missing $f (build the win32 and native presets first)"; echo "0 passed, 1 failed"; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no X display (DISPLAY)"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
"$wine" --init >/dev/null || { echo "no Wine prefix"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
# Set around one case_ call: the name its log and result go under (default: the test's), and
# more of its environment.
case_label=
case_env=()

# A copy of the sample product for one case.
served() {
    mkdir -p "$work/$1/www"
    cp -r "$sample/deri_vere" "$work/$1/www/"
    echo "$work/$1/www"
}

# One case: TEST KIND [WWW] [options]. TEST is a test of the Install suite or Suite.Name. KIND
# is nginx, nginx-paced (every request held back to two a second, so that each state of the
# window lasts a moment), nginx-tls (https on port 443 with a certificate of a private root
# that the namespace trusts, and the installer built with the https base URL), ours, down, or
# proxy (nginx with the distribution host reachable only through squid).
case_() {
    local test=$1 kind=$2 www=${3:--}
    local name=${case_label:-$test}
    # NX_E2E_ONLY: only the cases whose name holds it (those that need an earlier case's
    # installation then need that case too).
    [[ -z "${NX_E2E_ONLY:-}" || $name == *"$NX_E2E_ONLY"* ]] || return 0
    shift 3 2>/dev/null || shift $#
    local logs=$work/$name
    mkdir -p "$logs"
    local filter=$test
    [[ $test == *.* ]] || filter=Install.$test
    local run=(env NX_E2E_WWW="$www" "${case_env[@]}" "$wine" "$exe" --gtest_filter="$filter" --gtest_color=no)
    # A wineserver outside the namespace would serve the outside network.
    "$wine" --server-stop >/dev/null 2>&1
    local start=$SECONDS
    case $kind in
    nginx)
        "$repo/scripts/netns-serve.sh" "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" "${run[@]}" ;;
    nginx-paced)
        "$repo/scripts/netns-serve.sh" --http-extra 'limit_req_zone $binary_remote_addr zone=paced:1m rate=2r/s;' \
            --conf-extra 'limit_req zone=paced burst=20;' "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" "${run[@]}" ;;
    nginx-tls)
        "$repo/scripts/netns-serve.sh" --tls "$work/certs" "$www" "$logs/server" -- \
            env NX_E2E_LOG="$logs/server/access.log" NX_E2E_SETUP="$https_setup" "${run[@]}" ;;
    ours)
        "$repo/scripts/netns-serve.sh" - "$logs/server" -- \
            "$0" --serve-ours "$server" "$www" "$logs/server/requests.log" "$@" -- \
            env NX_E2E_LOG="$logs/server/requests.log" "${run[@]}" ;;
    down)
        "$repo/scripts/netns-serve.sh" - "$logs/server" -- "${run[@]}" ;;
    proxy)
        "$repo/scripts/netns-serve.sh" --proxy-only "$www" "$logs/server" -- \
            "$0" --serve-proxy "$logs/proxy" -- \
            env NX_E2E_LOG="$logs/proxy/access.log" "${run[@]}" ;;
    esac >"$logs/test.log" 2>&1
    local rc=$?
    if [ $rc = 0 ] && grep -q '^\[  PASSED  \] 1 test' "$logs/test.log"; then
        passed=$((passed + 1))
        echo "ok   $name ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        echo "FAIL $name ($((SECONDS - start)) s, exit $rc)"
        grep -vE '^(\[ RUN|\[       OK|[0-9a-f]{4}:(fixme|err|warn))' "$logs/test.log" | tail -n 40
    fi
}

# Two lanes, each with a Wine prefix of its own (the second a copy of the first): the cases
# that mostly wait (the retry waits of a server that is down, the stall limit, a late server)
# run beside the others. A lane's cases still run in order.
slow_lane() {
    case_ AServerThatIsDownEndsInTheFailureBox down

    late=$(served late)
    case_ AServerThatRefusesAtFirstIsWaitedFor ours "$late" --ranges --refuse-first 3000

    stall=$(served stall)
    case_ AStalledMainProgramIsFetchedAgainAfterTheStallLimit ours "$stall" --ranges --stall /deri_vere/mrwgt.exe=500000

    refusing=$(served refusing)
    case_ ACloseDuringARetryWaitEndsTheProgramAtOnce ours "$refusing" --refuse-first 600000
}
slow_root=$work/wine-slow-lane
"$wine" --clone "$slow_root"
(
    export NX_WINE_ROOT=$slow_root
    slow_lane
    echo "$passed $failed" >"$work/slow-lane.counts"
) >"$work/slow-lane.out" 2>&1 &
slow_pid=$!

full=$(served full)
case_ FullRunFromAFreshMachine nginx-paced "$full"

noversion=$(served noversion)
rm "$noversion/deri_vere/r_ver.txt"
case_ WithoutTheVersionFileTheEarlierProgramStays nginx "$noversion"

newer=$(served newer)
printf 'a newer line\n' >>"$newer/deri_vere/r_ver.txt"
case_ ARunningProgramCannotBeReplaced nginx "$newer"

case_ WithoutTheVersionFileAFreshMachineGetsTheFailureBox nginx "$noversion"

broken=$(served broken)
rm "$broken/deri_vere/libmysql.dll"
case_ AMissingAndACutFileAreSkippedAndTheRunCompletes ours "$broken" --cut /deri_vere/auto_up.exe=5000

slow=$(served slow)
case_ CancelDuringASlowDownloadStopsTheRun ours "$slow" --trickle 1000:50

cut=$(served cut)
case_ EveryFileCutOnceIsResumedAndTheLogNamesEachAttempt ours "$cut" --ranges --cut-first

# Unattended installations: /VERYSILENT, /SILENT, a second copy, a bad command line.
quiet=$(served verysilent)
case_ Unattended.VerySilentInstallsWithoutAnyWindow nginx "$quiet"
mkdir -p "$work/empty/www"
case_ Unattended.VerySilentAgainstAServerWithoutTheProductFails nginx "$work/empty/www"
case_ Unattended.SilentShowsOnlyTheInstallationPageAndEndsByItself nginx-paced "$quiet"
case_ Unattended.SilentClosedDuringATrickledDownloadIsCancelled ours "$(served silent-slow)" --trickle 1000:50
case_ Unattended.ABadCommandLineExitsWithThree down

# Behind a proxy: the Internet Options as the registry holds them (NX_E2E_PROXY: "fixed HOST:PORT"
# or "pac URL"), squid the only way to the distribution host.
export NX_E2E_PROXY_PASSWORD='Pr0xy pass:1'
proxied() {
    local label=$1 settings=$2 args=$3 exit=$4 expect=$5
    case_label=Proxy.$label
    case_env+=(NX_E2E_PROXY="$settings" NX_E2E_SETUP_ARGS="$args" NX_E2E_EXIT="$exit" NX_E2E_EXPECT="$expect")
    local www
    www=$(served "proxy-$label")
    # Only what the installer asks for goes through the proxy; the rest (this script's URL)
    # straight.
    cat >"$www/proxy.pac" <<'PAC'
function FindProxyForURL(url, host) {
    if (dnsDomainIs(host, ".brindlewick.co.kr")) return "PROXY 127.0.0.1:3128; DIRECT";
    return "DIRECT";
}
PAC
    case_ Unattended.BehindTheProxyOfTheInternetOptions proxy "$www"
    case_label=
    case_env=()
}
proxied FixedInInternetOptions "fixed 127.0.0.1:3128" "" 0 "http://127.0.0.1:3128 (fixed)"
proxied ConfigurationScript "pac http://127.0.0.1/proxy.pac" "" 0 "http://127.0.0.1:3128 (PAC http://127.0.0.1/proxy.pac)"
proxied AuthenticationFromTheCommandLine "fixed 127.0.0.1:3129" "/PROXYUSER=nxproxy \"/PROXYPASSWORD=$NX_E2E_PROXY_PASSWORD\"" 0 \
    "Proxy credentials of the command line for the user nxproxy"
proxied AuthenticationWithoutCredentialsFails "fixed 127.0.0.1:3129" "" 1 "No proxy credentials: "

"$native/tests/tls_peer" --certs "$work/certs" >/dev/null
secure=$(served secure)
case_ FullRunOverHttps nginx-tls "$secure"

# Setup.exe run from a folder (as Downloads is) that holds a planted library under the name of
# each library it loads or once imported, with Wine told to prefer such copies to its own: it
# installs as always, and loads none of them. Not version.dll: Wine's own user32 imports it.
#   planted LABEL SETUP KIND
planted() {
    local dir=$work/planted-$1 libraries=(comctl32 uxtheme dwmapi secur32 crypt32 ws2_32 bcrypt)
    mkdir -p "$dir"
    cp "$2" "$dir/Setup.exe"
    for library in "${libraries[@]}"; do cp "$win/tests/planted.dll" "$dir/$library.dll"; done
    local names=${libraries[*]}
    case_label=Planted.$1
    case_env=(NX_E2E_SETUP="$dir/Setup.exe" NX_E2E_PLANTED=${#libraries[@]} NX_WINEDLLOVERRIDES="${names// /,}=n,b")
    case_ Unattended.VerySilentInstallsWithoutAnyWindow "$3" "$(served "planted-$1")"
    case_label=
    case_env=()
}
planted Setup "$win/src/setup/Setup.exe" nginx
planted SetupHttps "$https_setup" nginx-tls

# Links made from the Linux side where the installation writes, as any program of the user
# could make them, leading to a victim folder or file: a linked folder ends the run (exit 1)
# with nothing written there, a linked file name is replaced, never written through.
#   linked LABEL REFUSED VICTIM LINK...   (LINK: a path below the user's folder, Unix)
eval "$("$wine" --env | grep WINEPREFIX)"
user_root=$WINEPREFIX/drive_c/users/${USER:-$(id -un)}
linked() {
    local label=$1 refused=$2 victim=$3
    shift 3
    # Links and cleaning for the cases that run only.
    [[ -z "${NX_E2E_ONLY:-}" || Linked.$label == *"$NX_E2E_ONLY"* ]] || return 0
    rm -rf "$user_root/AppData/Local/Brindlewick" "$user_root/Desktop/루멘타.lnk" "$work/victim"*
    mkdir -p "$user_root/AppData/Local/Brindlewick/Marrowgate" "$work/victim-folder"
    printf 'victim\n' >"$work/victim-file"
    for link in "$@"; do
        rm -rf "${user_root:?}/$link"
        ln -s "$work/$victim" "$user_root/$link"
    done
    case_label=Linked.$label
    case_env=(NX_E2E_VICTIM="$work/$victim" NX_E2E_REFUSED="$refused")
    case_ Unattended.LinksCannotTurnTheWritesElsewhere nginx "$(served "linked-$label")"
    case_label=
    case_env=()
    rm -rf "$user_root/AppData/Local/Brindlewick" "$user_root/Desktop/루멘타.lnk"
}
linked VendorFolder 1 victim-folder AppData/Local/Brindlewick
linked ProductFolder 1 victim-folder AppData/Local/Brindlewick/Marrowgate
linked PartFile "" victim-file AppData/Local/Brindlewick/Marrowgate/mrwgt.exe.part \
    AppData/Local/Brindlewick/Marrowgate/uninstall.exe.part
linked TargetFile "" victim-file AppData/Local/Brindlewick/Marrowgate/mrwgt.exe
linked Shortcut "" victim-file Desktop/루멘타.lnk

# The installer built with a key (SetupKeyed.exe, the test run's own key): the sample product
# signed with it installs; every attack on it is refused.
#   keyed LABEL KIND WWW REFUSAL [server options]   (REFUSAL empty: the run must install)
keyed() {
    local label=$1 kind=$2 www=$3 refusal=$4
    shift 4
    local test=Unattended.KeyedRefusesWhatTheManifestDoesNotVouchFor
    [ -n "$refusal" ] || test=Unattended.KeyedInstallsOnlyWhatTheManifestVouchesFor
    case_label=Keyed.$label
    case_env+=(NX_E2E_SETUP="$keyed_setup" NX_E2E_PRISTINE="$sample/deri_vere" NX_E2E_REFUSAL="$refusal")
    case_ "$test" "$kind" "$www" "$@"
    case_label=
    case_env=()
}
# A copy of the sample product signed by KEY under SERIAL: signed NAME KEY SERIAL [expiry option]
signed() {
    local www
    www=$(served "$1")
    "$nxmanifest" sign --key "$2" --serial "$3" ${4:---valid-days 30} "$www/deri_vere" >/dev/null 2>&1
    echo "$www"
}
# One byte of a file changed.
flip() {
    perl -e 'open(F, "+<", $ARGV[0]) or die; seek(F, 1000, 0); read(F, $c, 1); seek(F, 1000, 0);
             print F chr(ord($c) ^ 1)' "$1"
}
own=$keys/private.pem
keyed Installs nginx "$(signed keyed "$own" 5)" ""
case_env=(NX_E2E_KEEP=1)
keyed ALowerSerialAfterAnInstallation nginx "$(signed keyed-older "$own" 4)" "Manifest serial 4 is below 5"
tampered=$(signed keyed-tampered "$own" 6)
flip "$tampered/deri_vere/mrwgt.exe"
keyed ATamperedMainProgram nginx "$tampered" "Mismatch mrwgt.exe: "
keyed AnUnsignedProduct nginx "$(served keyed-unsigned)" "Manifest refused: not fetched"
"$nxmanifest" keygen "$work/other.pem" "$work/other.pub" >/dev/null
keyed AnotherKey nginx "$(signed keyed-other "$work/other.pem" 6)" "Manifest refused: Manifest signature does not verify"
keyed AnExpiredManifest nginx "$(signed keyed-expired "$own" 6 "--expires 2020-01-01")" \
    "Manifest refused: Manifest expired at 2020-01-01T00:00:00Z"
keyed AnEndlessMainProgram ours "$(signed keyed-endless "$own" 6)" "Mismatch mrwgt.exe: longer than the listed" \
    --endless /deri_vere/mrwgt.exe
case_env=(NX_E2E_EXPECT="Mismatch mrwgt.exe: ")
keyed AMismatchMendedByTheSecondAttempt ours "$(signed keyed-corrupt "$own" 6)" "" --corrupt-first /deri_vere/mrwgt.exe

# Setup.exe signed as the build signs it (scripts/sign-setup.sh), with a certificate of a
# throw-away root made here: osslsigncode verifies it against that root, it stays within the
# size budget, and it installs.
authenticode=$work/authenticode
mkdir -p "$authenticode/signed"
if [[ -n "${NX_E2E_ONLY:-}" && Authenticode != *"$NX_E2E_ONLY"* ]]; then
    :
elif (
    set -e
    cd "$authenticode"
    password=$(head -c 12 /dev/urandom | base64)
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Marrowgate Test Root" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Marrowgate Test Signer" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
        -out signer.pem 2>/dev/null
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout "pass:$password" -out signer.p12
    cp "$win/src/setup/Setup.exe" signed/Setup.exe
    NX_SIGN_PASSWORD=$password "$repo/scripts/sign-setup.sh" signer.p12 signed/Setup.exe
    osslsigncode verify -CAfile ca.pem -in signed/Setup.exe | grep -q '^Signature verification: ok'
    [ "$(stat -c %s signed/Setup.exe)" -le 1048576 ]
) >"$authenticode/sign.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok   Authenticode.SignedAndVerifiedAgainstItsRoot ($(stat -c %s "$authenticode/signed/Setup.exe") bytes)"
    case_label=Authenticode.TheSignedCopyInstalls
    case_env=(NX_E2E_SETUP="$authenticode/signed/Setup.exe")
    case_ Unattended.VerySilentInstallsWithoutAnyWindow nginx "$(served authenticode)"
    case_label=
    case_env=()
else
    failed=$((failed + 1))
    echo "FAIL Authenticode.SignedAndVerifiedAgainstItsRoot"
    tail -n 20 "$authenticode/sign.log"
fi

wait "$slow_pid"
cat "$work/slow-lane.out"
if read -r p f <"$work/slow-lane.counts"; then
    passed=$((passed + p))
    failed=$((failed + f))
else
    failed=$((failed + 1))
    echo "FAIL the slow lane did not finish"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
