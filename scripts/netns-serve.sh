#!/bin/bash
# Runs a command in a private network namespace in which the distribution host resolves
# to 127.0.0.1 and nginx serves a folder on port 80, so that the shipped installer talks
# to its real host name and nothing leaves the machine. Needs root (unshare).
#   scripts/netns-serve.sh [--host NAME] [--conf-extra 'server directives']
#                          [--http-extra 'http directives'] [--tls CERTDIR] [--proxy-only]
#                          WWWDIR LOGDIR -- COMMAND...
# With --tls, nginx serves https on port 443 instead (CERTDIR/good.pem and good.key), and
# inside the namespace the system's trusted roots also hold CERTDIR/root.pem (a bundle
# mounted over /etc/ssl/certs/ca-certificates.crt, which Wine's crypt32 reads too).
# Inside COMMAND, NX_NGINX_ACCESS_LOG names the server's access log, one line per request:
# the connection's number, the request line in double quotes, the status and the body bytes.
# Without WWWDIR (given as "-") no server is started: the host then refuses connections.
# With --proxy-only the namespace's /etc/hosts does not name the distribution host, so that only a
# proxy can reach it: LOGDIR/proxy-hosts maps it to 127.0.0.1 for the proxy, and COMMAND finds
# that file in NX_PROXY_HOSTS.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
host=dist.brindlewick.co.kr
extra=
http_extra=
tls=
proxy_only=
while [ $# -gt 0 ]; do
    case "$1" in
    --host) host=$2; shift 2 ;;
    --proxy-only) proxy_only=1; shift ;;
    --tls) tls=$(cd "$2" && pwd); shift 2 ;;
    --conf-extra) extra=$2; shift 2 ;;
    --http-extra) http_extra=$2; shift 2 ;;
    *) break ;;
    esac
done
www=$1
logdir=$2
shift 2
[ "${1:-}" = "--" ] && shift
mkdir -p "$logdir"
logdir=$(cd "$logdir" && pwd)

if [ -z "${NX_IN_NETNS:-}" ]; then
    printf '127.0.0.1 localhost\n127.0.0.1 %s\n' "$host" >"$logdir/proxy-hosts"
    if [ -n "$proxy_only" ]; then
        printf '127.0.0.1 localhost\n' >"$logdir/hosts"
    else
        cp "$logdir/proxy-hosts" "$logdir/hosts"
    fi
    export NX_IN_NETNS=1
    extra_args=()
    [ -n "$tls" ] && extra_args+=(--tls "$tls")
    [ -n "$proxy_only" ] && extra_args+=(--proxy-only)
    exec unshare -mn "$0" --host "$host" --conf-extra "$extra" --http-extra "$http_extra" "${extra_args[@]}" \
        "$www" "$logdir" -- "$@"
fi

ip link set lo up
mount --bind "$logdir/hosts" /etc/hosts
listen="listen 127.0.0.1:80;"
port=80
if [ -n "$tls" ]; then
    cat /etc/ssl/certs/ca-certificates.crt "$tls/root.pem" >"$logdir/ca-bundle.crt"
    mount --bind "$logdir/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt
    listen="listen 127.0.0.1:443 ssl; ssl_certificate $tls/good.pem; ssl_certificate_key $tls/good.key;"
    port=443
fi
nginx_pid=
if [ "$www" != "-" ]; then
    www=$(cd "$www" && pwd)
    cat >"$logdir/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $logdir/nginx.pid;
error_log $logdir/error.log;
events { worker_connections 64; }
http {
  log_format nx '\$connection "\$request" \$status \$body_bytes_sent';
  access_log $logdir/access.log nx;
  $http_extra
  client_body_temp_path $logdir/tmp;
  proxy_temp_path $logdir/tmp;
  fastcgi_temp_path $logdir/tmp;
  uwsgi_temp_path $logdir/tmp;
  scgi_temp_path $logdir/tmp;
  types { application/octet-stream exe dll; text/plain txt; application/x-ns-proxy-autoconfig pac; }
  server {
    $listen
    root $www;
    $extra
  }
}
CONF
    mkdir -p "$logdir/tmp"
    : >"$logdir/access.log"
    chmod -R a+rX "$www"
    /usr/sbin/nginx -c "$logdir/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
        sleep 0.1
    done
fi
export NX_NGINX_ACCESS_LOG=$logdir/access.log
export NX_PROXY_HOSTS=$logdir/proxy-hosts
# A wineserver started outside the namespace would serve the outside network.
"$repo/scripts/wine.sh" --server-start
set +e
"$@"
rc=$?
"$repo/scripts/wine.sh" --server-stop >/dev/null 2>&1
[ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
exit $rc
