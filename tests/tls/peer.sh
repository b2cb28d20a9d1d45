#!/bin/bash
# The servers of the Windows TLS tests, natively beside Wine: the certificate matrix's
# TLS peer and an nginx that serves a file over TLS with the test certificate.
#   tests/tls/peer.sh start NATIVE_BUILD_DIR STATE_DIR   (returns once both listen)
#   tests/tls/peer.sh stop STATE_DIR
# STATE_DIR/ports.txt then names the root certificate, the matrix rows' ports and
# "nginx <port>" with the file "www/big.bin" it serves.
set -u
cmd=$1
if [ "$cmd" = stop ]; then
    state=$2
    for f in "$state"/*.pid; do
        [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null
        rm -f "$f"
    done
    exit 0
fi
native=$2
state=$3
"$0" stop "$state"
rm -rf "$state"
mkdir -p "$state/www" "$state/tmp"
peer=$native/tests/tls_peer
[ -x "$peer" ] || { echo "no TLS peer at $peer: build the native preset first" >&2; exit 1; }
# The peer ends on its own after 15 minutes, should stop never run.
# Detached from our output: CTest waits for everything that holds its pipes.
"$peer" "$state" 900 </dev/null >"$state/peer.log" 2>&1 &
echo $! >"$state/peer.pid"
for _ in $(seq 100); do
    [ -f "$state/ports.txt" ] && break
    sleep 0.1
done
[ -f "$state/ports.txt" ] || { echo "the TLS peer did not come up" >&2; cat "$state/peer.log" >&2; exit 1; }

head -c 5000000 /dev/urandom >"$state/www/big.bin"
# nginx on a port of its own: a port found free can be taken before nginx binds it, and a
# connect would then reach the other program. So nginx is started on a random port and
# counted as up only once the system lists nginx itself as that port's listener; when it
# cannot bind, another port is tried.
start_nginx() {
    local port=$1
    cat >"$state/nginx.conf" <<CONF
daemon off;
master_process off;
pid $state/nginx.pid.run;
error_log $state/nginx-error.log;
events { worker_connections 64; }
http {
  access_log $state/nginx-access.log;
  client_body_temp_path $state/tmp;
  proxy_temp_path $state/tmp;
  fastcgi_temp_path $state/tmp;
  uwsgi_temp_path $state/tmp;
  scgi_temp_path $state/tmp;
  types { application/octet-stream bin; }
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $state/certs/good.pem;
    ssl_certificate_key $state/certs/good.key;
    root $state/www;
  }
}
CONF
    /usr/sbin/nginx -p "$state" -e "$state/nginx-error.log" -c "$state/nginx.conf" </dev/null >"$state/nginx.out" 2>&1 &
    local pid=$!
    echo $pid >"$state/nginx.pid"
    for _ in $(seq 50); do
        ss -Hltnp "sport = :$port" 2>/dev/null | grep -q "pid=$pid," && return 0
        kill -0 $pid 2>/dev/null || return 1
        sleep 0.1
    done
    kill $pid 2>/dev/null
    return 1
}
for _ in $(seq 5); do
    port=$((20000 + RANDOM % 40000))
    start_nginx $port && { echo "nginx $port" >>"$state/ports.txt"; exit 0; }
done
echo "nginx did not come up" >&2
cat "$state/nginx-error.log" >&2
exit 1
