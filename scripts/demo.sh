#!/bin/sh
# Builds the win64 preset and runs KorloGuestHelper.exe under Wine the way a
# service host starts, then shows the log it wrote. Installs what is missing
# first (as root on Debian 12).
set -eu
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target KorloGuestHelper wineprefix ReferencePlugin
bin=build/win64/bin
prefix=build/win64/wineprefix
run="cmake/wine-run.sh $prefix"
log="$prefix/drive_c/ProgramData/Korlo/Backup"

# The default plugin is the reference plugin under the name the host loads.
cp "$bin/ReferencePlugin.dll" "$bin/KorloVssSupport.dll"
rm -f "$log"/*.log

show() {
  echo "== $1"
  iconv -f UTF-16LE -t UTF-8 "$2" | tr -d '\r' | sed 's/^\xef\xbb\xbf//'
  echo
}

echo "== KorloGuestHelper.exe (no arguments: the service dispatcher)"
$run "$bin/KorloGuestHelper.exe" || echo "exit code $?"
echo "== KorloGuestHelper.exe -injectVss"
$run "$bin/KorloGuestHelper.exe" -injectVss -persistent || echo "exit code $?"
show "C:\\ProgramData\\Korlo\\Backup\\KorloGuestHelper.log" "$log/KorloGuestHelper.log"
for f in "$log"/*.log; do
  [ "$f" = "$log/KorloGuestHelper.log" ] || show "plugin log $(basename "$f")" "$f"
done
$run --stop
