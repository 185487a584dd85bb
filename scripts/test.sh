#!/bin/sh
# Builds both presets and runs both test suites: win64 under 64-bit Wine, then
# win32 under 32-bit Wine, each in a Wine prefix of its own. Installs what is
# missing first (as root on Debian 12).
# Exit status: 0 when every suite that ran passed, 1 when a build or a test
# failed. A machine that cannot run 32-bit programs runs the win64 suite only
# and says so; with KORLO_REQUIRE_WIN32=1 that run ends with status 2.
set -eu
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --preset win32 >/dev/null
# Wine is stopped however the script ends.
trap 'for p in win64 win32; do cmake --build build/$p --target wine-stop >/dev/null 2>&1 || true; done' EXIT
# Why the win32 suite cannot run here, if it cannot. The 32-bit Wine loader
# is itself a 32-bit program.
no32=
if [ ! -x /usr/lib/wine/wine ]; then
  no32="32-bit Wine (wine32:i386) is not installed"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  no32="this kernel cannot run 32-bit programs (32-bit Wine does not start)"
fi
# The win32 build needs no CPU while the win64 tests wait on Wine: run it
# alongside. The job records its status itself: under set -e a failed build
# would otherwise end the job before it writes the status.
cmake --build --preset win64
rm -f build/win32-build.rc
( rc=0; cmake --build --preset win32 >build/win32-build.log 2>&1 || rc=$?; echo "$rc" >build/win32-build.rc ) &
win32=$!
status=0
win64_tests=passed
ctest --preset win64 || { status=1; win64_tests=FAILED; }
wait "$win32" || true
win32_tests="NOT RUN"
if [ "$(cat build/win32-build.rc 2>/dev/null || echo missing)" != 0 ]; then
  cat build/win32-build.log
  echo "win32 build failed" >&2
  status=1
elif [ -n "$no32" ]; then
  echo "win32 tests NOT RUN: $no32" >&2
  [ $status = 0 ] && [ "${KORLO_REQUIRE_WIN32:-0}" = 1 ] && status=2
else
  win32_tests=passed
  ctest --preset win32 || { status=1; win32_tests=FAILED; }
fi
echo "win64 tests: $win64_tests; win32 tests: $win32_tests"
exit "$status"
