#!/bin/sh
# Builds the benchmark programs of both presets and runs them, x64 under
# 64-bit Wine and x86 under 32-bit Wine, times Linux `gzip -9` on the same
# 20 MiB log each rotation compressed, and sets the main figures of the two
# architectures side by side.
#
#   bench/run.sh                        both: build folders build/win64, build/win32
#   bench/run.sh win32                  one architecture only
#   BUILD_ROOT=build/mine bench/run.sh  other build folders (their own Wine prefixes)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
root=${BUILD_ROOT:-$top/build}
case $root in /*) ;; *) root=$top/$root ;; esac
presets=${*:-win64 win32}

# bench_preset PRESET: builds and runs the programs of one preset.
bench_preset() {
  build=$root/$1
  cmake --preset "$1" -S "$top" -B "$build" >/dev/null
  cmake --build "$build" --target benchmarks -j2

  run() { "$top/cmake/wine-run.sh" "$build/wineprefix" "$@"; }
  out=$build/bench-out
  rm -rf "$out"
  mkdir -p "$out"
  # The programs see the folder through Wine's Z: drive (the Linux root).
  winout="Z:$(printf '%s' "$out" | tr / '\\')"

  # Start the prefix's wineserver and system processes first and let them
  # settle: they keep a core busy for a few seconds after a cold start.
  run cmd.exe /c ver >/dev/null 2>&1 || true
  sleep 8

  echo "== log line cost and threads"
  run "$build/bin/bench_log_line.exe" "$winout"

  for limit in 20 60; do
    echo "== rotation, limit $limit MiB"
    run "$build/bin/bench_log_rotation.exe" "$winout" "$limit" | tee "$out/rotation_$limit.txt"
  done

  echo "== service start"
  # Installed inside the prefix, as a service would be: the helper with the
  # reference plugin as KorloVssSupport.dll, and the do-nothing service.
  svc=$build/wineprefix/drive_c/korlo-bench
  rm -rf "$svc"
  mkdir -p "$svc"
  cp "$build/bin/KorloGuestHelper.exe" "$build/bin/bench_bare_service.exe" "$build/bin/bench_bare_service_imports.exe" "$svc/"
  cp "$build/bin/ReferencePlugin.dll" "$svc/KorloVssSupport.dll"
  : >"$svc/KorloAgentConfig.xml"
  run "$build/bin/bench_service_start.exe" 'C:\korlo-bench' 'C:\korlo-bench\bench_bare_service.exe' \
    'C:\korlo-bench\bench_bare_service_imports.exe' 21

  echo "== RPC calls"
  # The helper as a service in persistent mode (port 6173) with the reference
  # plugin, against a bare server of the same interface on port 6174.
  ctl() { run "$build/bin/KorloSvcCtl.exe" "$@"; }
  ctl delete KorloBenchRpc >/dev/null 2>&1 || true
  ctl create KorloBenchRpc '"C:\korlo-bench\KorloGuestHelper.exe" -persistent' >/dev/null
  ctl start KorloBenchRpc >/dev/null
  run "$build/bin/bench_rpc_calls.exe" 6173 "$build/bin/bench_bare_rpc_server.exe" 6174 3 3 || true
  ctl stop KorloBenchRpc >/dev/null
  ctl delete KorloBenchRpc >/dev/null


  echo "== diagnostics bundle, 2,000 old logs in the log folder"
  run "$build/bin/bench_diagnostics.exe" 'C:\korlo-bench\KorloGuestHelper.exe' "$winout"

  echo "== Linux gzip -9 of the same 20 MiB content, in turns with two more 20 MiB rotations"
  # Best against best: one rotation against the best of three gzip runs
  # would compare a sample with a minimum.
  input=$out/rotation_20_input.log
  seconds='s/^RESULT .*rotation_seconds=\([0-9.]*\).*/\1/p'
  rotations=$(sed -n "$seconds" "$out/rotation_20.txt")
  gzips=
  for i in 1 2 3; do
    start=$(date +%s.%N)
    gzip -9 -c "$input" >/dev/null
    end=$(date +%s.%N)
    gzips="$gzips $(echo "$start $end" | awk '{ printf "%.3f", $2 - $1 }')"
    if [ $i -lt 3 ]; then
      rotations="$rotations $(run "$build/bin/bench_log_rotation.exe" "$winout" 20 | sed -n "$seconds")"
    fi
  done
  echo "$rotations|$gzips" | awk -F'|' '{
    n = split($1, r, " "); m = split($2, g, " ")
    br = r[1]; for (i = 2; i <= n; i++) if (r[i] + 0 < br + 0) br = r[i]
    bg = g[1]; for (i = 2; i <= m; i++) if (g[i] + 0 < bg + 0) bg = g[i]
    printf "    rotation pauses, 20 MiB          %s s\n", $1
    printf "    gzip -9 runs                     %s s\n", $2
    printf "    rotation (best of %d)            %7.3f s\n", n, br
    printf "    gzip -9 (best of %d)             %7.3f s\n", m, bg
    printf "    rotation / gzip -9             %7.2f   (target <= 1.1)\n", br / bg
  }'

  # The gzip file holds the input followed by the line that crossed the limit.
  size=$(stat -c %s "$input")
  if gunzip -t "$out/rotation_20.log.gz" && gunzip -c "$out/rotation_20.log.gz" | cmp -s -n "$size" - "$input"; then
    echo "    gunzip reads rotation_20.log.gz back byte for byte"
  else
    echo "    rotation_20.log.gz does NOT read back as the input"
    return 1
  fi
}

# The main figures of one run: log line ratio, 8 threads against one,
# rotation pauses (20 and 60 MiB), rotation against gzip -9, RPC calls per
# second through the helper and the helper's ratio to the bare server, and
# the start against the do-nothing service.
figures() {
  awk '/ratio of the best rounds/ { line = $6 }
       /pause of the rotating line/ { pause = pause (pause == "" ? "" : ", ") $6 }
       /rotation \/ gzip -9/ { gz = $5 }
       /through the helper/ { calls = $6 }
       /helper \/ bare/ { rpc = $4 }
       /ratio, median of rounds .*target >= 0.8/ { threads = $5 }
       /helper \/ do-nothing/ { start = $4 }
       END { printf "%s|%s|%s s|%s|%s|%s|%s\n", line, threads, pause, gz, calls, rpc, start }' "$1"
}

status=0
ran=
for preset in $presets; do
  if [ "$preset" = win32 ] && [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "#### win32 (x86): NOT RUN: this kernel cannot run 32-bit programs (32-bit Wine does not start)"
    continue
  fi
  echo "#### $preset"
  mkdir -p "$root/$preset"
  ( bench_preset "$preset" ) 2>&1 | tee "$root/$preset/bench.log"
  grep -q "does NOT read back" "$root/$preset/bench.log" && status=1
  ran="$ran $preset"
done

echo "#### side by side"
fmt='%-7s %-14s %-10s %-20s %-14s %-19s %-12s %s\n'
printf "$fmt" arch "log/WriteFile" "8 threads" "rotation 20, 60 MiB" "rotation/gzip" "RPC calls/s helper" "helper/bare" "start/bare"
for preset in $ran; do
  figures "$root/$preset/bench.log" |
    awk -F'|' -v arch="$preset" -v fmt="$fmt" '{ printf fmt, arch, $1, $2, $3, $4, $5, $6, $7 }'
done
exit $status
