#!/bin/sh
# Runs a Windows program (64- or 32-bit) under Wine in a private, headless
# prefix.
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
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed; on a
# kernel that cannot run 32-bit code, 64-bit programs go straight to wine64.
runs32=no
if [ -z "${WINE:-}" ] && [ -x /usr/lib/wine/wine ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    runs32=yes
  elif [ -x /usr/lib/wine/wine64 ]; then
    WINE=/usr/lib/wine/wine64
    export WINELOADER=$WINE
  fi
fi
WINE=${WINE:-wine}
WINESERVER=${WINESERVER:-wineserver}

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
  # A prefix made before 32-bit Wine was installed has no 32-bit system
  # libraries, and 32-bit programs (Wine's own tools too) cannot start in it:
  # such a prefix is made anew.
  if [ $runs32 = yes ] && [ -f "$WINEPREFIX/.initialized" ] && ! grep -qx wine32 "$WINEPREFIX/.initialized"; then
    "$WINESERVER" -k >/dev/null 2>&1 9>&-
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/.initialized" ]; then
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    # No post-mortem debugger: a crash must end the process with its exception
    # code. With the default (winedbg --auto) the Unix exit status is sometimes
    # 0. Both registry views: 32-bit programs read the 32-bit one, and `wine
    # reg` itself may be the 32-bit tool.
    for view in 64 32; do
      "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f /reg:$view </dev/null >/dev/null 2>&1 9>&-
    done
    "$WINESERVER" -w 9>&-
    { [ $runs32 = yes ] && echo wine32; } >"$WINEPREFIX/.initialized" || true
  fi
  [ "$1" = "--init" ] && exit 0
  # One wineserver that outlives short test processes (Debian's wrapper passes
  # -p0). Its system processes (services.exe, ...) are booted here, always:
  # a server that was still exiting when this ran (after --stop, or at the
  # end of its persistence) would otherwise be replaced by one that the test
  # program boots itself, handing its stdout and stderr to services.exe and
  # the rest, and ctest would wait on them until that server ends, 30 s after
  # the last test. On a booted server this costs one short process. That
  # process is not wineboot: a plain wineboot replays the pending renames and
  # deletions, a restart of the machine for every file marked "at the next
  # restart", under the feet of the tests still running. The first process of
  # a new server boots it (wineboot --init), as a real restart would.
  "$WINESERVER" -p"${WINE_PERSIST_SECONDS:-30}" </dev/null >/dev/null 2>&1 9>&- || true
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
) 9>"$WINEPREFIX.lock"
[ "$1" = "--init" ] && exit 0
exec "$WINE" "$@"
