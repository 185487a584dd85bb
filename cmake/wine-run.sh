#!/bin/sh
# Runs a 64-bit Windows program under Wine in a private, headless prefix.
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]   (the CMAKE_CROSSCOMPILING_EMULATOR)
#   wine-run.sh PREFIX --init                  (only create and prepare PREFIX)
#   wine-run.sh PREFIX --stop                  (end the prefix's wineserver)
case $1 in
  /*) WINEPREFIX=$1 ;;
  *) WINEPREFIX=$(pwd)/$1 ;;   # Wine wants an absolute path
esac
shift
export WINEPREFIX
export WINEDEBUG=-all                      # quiet; also hides Debian's "wine32 is missing" hint
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"  # no Mono/Gecko offers, nothing in $HOME
unset DISPLAY                              # console programs need no X server
WINE=${WINE:-wine}
WINESERVER=${WINESERVER:-wineserver}
WINEBOOT=${WINEBOOT:-wineboot}

if [ "$1" = "--stop" ]; then
  [ -d "$WINEPREFIX" ] && "$WINESERVER" -k >/dev/null 2>&1
  exit 0
fi

# Everything below runs under a lock. Daemons started here get stdio on
# /dev/null (else they hold the caller's pipe open and ctest waits until its
# timeout) and 9>&- (else they inherit the lock and block the next caller).
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.initialized" ]; then
    "$WINEBOOT" -i </dev/null >/dev/null 2>&1 9>&-
    # No post-mortem debugger: a crash must end the process with its exception
    # code. With the default (winedbg --auto) the Unix exit status is sometimes 0.
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1 9>&-
    "$WINESERVER" -w 9>&-
    touch "$WINEPREFIX/.initialized"
  fi
  [ "$1" = "--init" ] && exit 0
  # One wineserver that outlives short test processes (Debian's wrapper passes
  # -p0). Its system processes (services.exe, ...) are booted here, always:
  # a server that was still exiting when this ran (after --stop, or at the
  # end of its persistence) would otherwise be replaced by one that the test
  # program boots itself, handing its stdout and stderr to services.exe and
  # the rest, and ctest would wait on them until that server ends, 30 s after
  # the last test. On a booted server this costs one short process.
  "$WINESERVER" -p"${WINE_PERSIST_SECONDS:-30}" </dev/null >/dev/null 2>&1 9>&- || true
  "$WINEBOOT" </dev/null >/dev/null 2>&1 9>&-
) 9>"$WINEPREFIX.lock"
[ "$1" = "--init" ] && exit 0
exec "$WINE" "$@"
