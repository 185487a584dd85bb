#!/bin/sh
# The helper's main job, end to end under Wine: installs KorloGuestHelper.exe
# as a real service (persistent mode: RPC on port 6173) with the reference
# plugin as KorloVssSupport.dll, starts it, calls the plugin's RPC interface
# over TCP on 127.0.0.1, makes an operator's diagnostics bundle while it runs,
# shows the log lines of the start, stops the service and deletes it.
# Installs what is missing first (as root on Debian 12).
set -eu
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
echo "== building (win64)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target KorloGuestHelper ReferencePlugin ReferencePluginClient KorloSvcCtl \
  wineprefix | tail -n 1

bin=build/win64/bin
prefix=build/win64/wineprefix
run() { cmake/wine-run.sh "$prefix" "$@"; }
name=KorloGuestHelper
folder='C:\Program Files\Korlo\GuestHelper'
unix_folder="$prefix/drive_c/Program Files/Korlo/GuestHelper"
log="$prefix/drive_c/ProgramData/Korlo/Backup/KorloGuestHelper.log"

# A service left behind by an interrupted run goes first.
run "$bin/KorloSvcCtl.exe" stop "$name" >/dev/null 2>&1 || true
run "$bin/KorloSvcCtl.exe" delete "$name" >/dev/null 2>&1 || true

echo "== installing into $folder"
mkdir -p "$unix_folder"
cp "$bin/KorloGuestHelper.exe" "$unix_folder/"
cp "$bin/ReferencePlugin.dll" "$unix_folder/KorloVssSupport.dll"
cat >"$unix_folder/KorloAgentConfig.xml" <<'EOF'
<GuestAgentConfig ServiceName="KorloVssSupport"><PluginsCnt><Plugin Path="KorloVssSupport.dll"/></PluginsCnt><PortsCfg UseDynPort="true"/></GuestAgentConfig>
EOF
# Only the lines this run appends are shown.
start_line=1
[ -f "$log" ] && start_line=$(($(iconv -f UTF-16LE -t UTF-8 "$log" | wc -l) + 1))

echo "== creating and starting the service"
run "$bin/KorloSvcCtl.exe" create "$name" "\"$folder\\KorloGuestHelper.exe\" -persistent"
status=0
if run "$bin/KorloSvcCtl.exe" start "$name"; then
  echo "== calling the reference plugin on 127.0.0.1:6173"
  run "$bin/ReferencePluginClient.exe" 127.0.0.1 6173 status || status=$?
  echo "== asking for removal without authentication (must be refused)"
  run "$bin/ReferencePluginClient.exe" 127.0.0.1 6173 uninstall || true
  echo "== collecting diagnostics while the service runs"
  # A path that exists is refused: each run makes its bundle anew.
  cab=$(pwd)/build/win64/korlo-diag.cab
  rm -f "$cab"
  run "$folder\\KorloGuestHelper.exe" -collectDiagnostics "Z:$(printf '%s' "$cab" | tr / '\\')" || status=1
  if [ -f "$cab" ]; then
    cabextract -l "$cab"
    echo "== the first lines of summary.txt"
    cabextract -q -p -F summary.txt "$cab" | tr -d '\r' | head -n 12
  fi
else
  status=1
fi

echo "== stopping and deleting the service"
run "$bin/KorloSvcCtl.exe" stop "$name" || status=1
run "$bin/KorloSvcCtl.exe" delete "$name" || status=1
run "$bin/KorloSvcCtl.exe" query "$name"

echo "== the log of this run (C:\\ProgramData\\Korlo\\Backup\\KorloGuestHelper.log)"
iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r' | sed 's/^\xef\xbb\xbf//' | tail -n +"$start_line"
run --stop
exit "$status"
