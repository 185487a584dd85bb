#!/bin/sh
# Installs, idempotently and quietly, everything the build and the tests need
# on Debian 12 (run as root). A second run with everything present is instant.
set -eu

packages="cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
mingw-w64-tools libz-mingw-w64-dev libboost-dev wine wine64 wine32:i386 googletest gzip python3-impacket cabextract"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "bootstrap: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine (for the win32 tests) comes from the i386 architecture; nothing
# else of it is installed beyond what wine32 needs.
case $missing in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
# A mirror in the middle of a sync can make 'update' fail while the indexes we
# need still load: retry once, then let 'install' decide.
apt-get -q update >/dev/null 2>&1 || { sleep 5; apt-get -q update >/dev/null 2>&1 || true; }
# shellcheck disable=SC2086
apt-get -q install -y --no-install-recommends $missing >/dev/null
echo "bootstrap: installed$missing"
