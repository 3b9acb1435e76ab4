#!/usr/bin/env bash
# The main job: OrvoComm.dll at work, as an installer uses it, under Wine.
#
#   1. set-up; build the DLL, the demo client and the broadcast listener
#      (preset windows, in build/demo-windows) and settool (preset native,
#      in build/demo-native);
#   2. a fresh private 32-bit Wine prefix, build/demo-prefix, with the null
#      graphics driver so that programs have top-level windows without a
#      display; the DLL is copied into it and registered with regsvr32;
#   3. the broadcast listener waits in a top-level window of its own process;
#   4. the demo client creates the object by its class id and calls its
#      methods by name through IDispatch, as an installer's script does;
#   5. what the listener heard; the registration file the calls wrote,
#      printed with settool; unregistration. The prefix's Wine server is
#      stopped at the end.
#
# Exit status 0 when every step gave what it should.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

step() { printf '\n==> %s\n' "$*"; }
trap 'echo "demo: failed (exit status $?)" >&2' ERR

windows_build=build/demo-windows
native_build=build/demo-native
prefix=$root/build/demo-prefix
logs=$root/build/demo-logs
mkdir -p "$logs"

step "set-up"
bash scripts/setup.sh

# Builds |targets| of |preset| in |dir|; the log is shown only on failure.
build() {
  local preset=$1 dir=$2
  shift 2
  if ! { cmake --preset "$preset" -B "$dir" && cmake --build "$dir" -j 2 --target "$@"; } \
       >"$logs/build-$preset.log" 2>&1; then
    tail -n 40 "$logs/build-$preset.log"
    echo "demo: the $preset build failed (log: build/demo-logs/build-$preset.log)" >&2
    exit 1
  fi
}

step "building OrvoComm.dll, demo_client.exe, broadcast_listener.exe (preset windows)"
build windows "$windows_build" OrvoComm demo_client broadcast_listener
dll=$windows_build/server/OrvoComm.dll
client=$windows_build/tools/demo_client/demo_client.exe
listener=$windows_build/tools/broadcast_listener/broadcast_listener.exe
ls -l "$dll" "$client" "$listener" | awk '{ print "  " $5 "  " $NF }'

step "building settool (preset native)"
build native "$native_build" settool
settool=$native_build/tools/settool/settool

# --- The demo's own Wine prefix and server.
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
listener_pid=
stop_wine() {
  if [ -n "$listener_pid" ]; then
    kill "$listener_pid" 2>/dev/null || true
  fi
  if [ -d "$prefix" ]; then
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
  fi
}
trap stop_wine EXIT

step "a fresh 32-bit Wine prefix: $prefix"
stop_wine
rm -rf "$prefix"
mkdir -p "$prefix"
# Mono and Gecko are not needed: no installer dialog for them.
WINEDLLOVERRIDES='mscoree,mshtml=' timeout 300 wineboot -i </dev/null >"$logs/wineboot.log" 2>&1 || true
if [ ! -d "$prefix/drive_c/windows" ]; then
  cat "$logs/wineboot.log"
  echo "demo: wineboot did not create the prefix" >&2
  exit 1
fi
# No display: the null graphics driver; no crash dialog that would wait.
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
  </dev/null >/dev/null 2>&1
timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  </dev/null >/dev/null 2>&1
# Restart with the settings, then keep one server running for the whole demo
# and start its services now, with their output sent nowhere.
timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1 || true
timeout 120 wine wineboot </dev/null >/dev/null 2>&1 || true
echo "  ready (drive C: is $prefix/drive_c)"

install_dir='C:\Program Files\Tamsiver\OrvoComm'
mkdir -p "$prefix/drive_c/Program Files/Tamsiver/OrvoComm"
cp "$dll" "$prefix/drive_c/Program Files/Tamsiver/OrvoComm/OrvoComm.dll"

step "regsvr32 \"$install_dir\\OrvoComm.dll\""
timeout 120 wine regsvr32 "$install_dir\\OrvoComm.dll" </dev/null | tr -d '\r' | sed 's/^/  /'
clsid='{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}'
timeout 60 wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" </dev/null | tr -d '\r' |
  sed -n 's/^ *\(..*\)$/  \1/p'

step "broadcast_listener: a top-level window in its own process, waiting for 2 broadcasts"
listener_out=$logs/listener.txt
# Two written registrations are expected; a third message within 3 s after
# the second would make it fail (the duplicate call must not broadcast).
timeout 120 wine "$listener" --count 2 --timeout-ms 60000 --quiet-ms 3000 \
  </dev/null >"$listener_out" 2>&1 &
listener_pid=$!
for _ in $(seq 600); do
  if grep -qx 'ready' <(tr -d '\r' <"$listener_out"); then
    break
  fi
  if ! kill -0 "$listener_pid" 2>/dev/null; then
    break
  fi
  sleep 0.1
done
if ! grep -qx 'ready' <(tr -d '\r' <"$listener_out"); then
  cat "$listener_out"
  echo "demo: the listener did not start" >&2
  exit 1
fi
tr -d '\r' <"$listener_out" | sed 's/^/  /'

step "demo_client: creates $clsid and calls it by name through IDispatch"
client_status=0
timeout 120 wine "$client" </dev/null | tr -d '\r' | sed 's/^/  /' || client_status=$?

step "what the listener heard"
listener_status=0
wait "$listener_pid" || listener_status=$?
listener_pid=
tr -d '\r' <"$listener_out" | sed 's/^/  /'
echo "  (exit status $listener_status)"

set_file=$prefix/drive_c/ProgramData/Tamsiver/InstallApp.set
step "settool dump ${set_file#"$root"/}"
"$settool" dump "$set_file"

step "regsvr32 /u \"$install_dir\\OrvoComm.dll\""
timeout 120 wine regsvr32 /u "$install_dir\\OrvoComm.dll" </dev/null | tr -d '\r' | sed 's/^/  /'
if timeout 60 wine reg query "HKCR\\CLSID\\$clsid" </dev/null >/dev/null 2>&1; then
  echo "demo: the class is still registered" >&2
  exit 1
fi
echo "  HKCR\\CLSID\\$clsid is gone"

stop_wine
trap - EXIT
if ((client_status || listener_status)); then
  echo "demo: failed (client exit status $client_status, listener exit status $listener_status)" >&2
  exit 1
fi
printf '\ndemo: done\n'
