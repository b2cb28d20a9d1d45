#!/bin/sh
# Installs what the build and the tests need, from Debian's packages only. Idempotent:
# does nothing when everything is present. Needs root for apt-get.
set -e
# libssl-dev: the TLS layer natively; libgnutls30:i386: Wine's SChannel and BCrypt run on it;
# openssl: the test run's manifest keys and certificates; osslsigncode: the Authenticode signature;
# squid and microsocks: the HTTP and SOCKS proxies the proxy tests start on loopback.
PKGS="cmake make g++ g++-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386 xvfb xauth locales \
fonts-nanum fonts-wine liblnk-utils imagemagick nasm libjpeg-dev libgtest-dev libssl-dev nginx curl wget \
dpkg-dev iproute2 util-linux ca-certificates clang libclang-rt-14-dev valgrind time \
libgnutls30:i386 openssl osslsigncode squid microsocks"

missing=
for p in $PKGS; do
    s=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$s" = installed ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" != 0 ]; then
    echo "Packages are missing and this is not root: run as root, or install them:$missing" >&2
    exit 1
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $PKGS
