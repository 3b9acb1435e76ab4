#!/usr/bin/env bash
# Runs a Windows program under the project's private 32-bit Wine prefix
# (build/wineprefix, made by scripts/setup.sh); CTest uses it as the
# emulator of the Windows build. The program's exit code is returned.
#
# Wine starts its background services (services.exe, explorer.exe, ...) with
# the first program of a session, and they would inherit that program's
# output; CTest would then wait for them to end before it saw the test end.
# So the services are started first, with their output sent nowhere.
# scripts/test.sh starts them once for a whole run and sets ORVO_WINE_WARM=1.
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
if [ "${ORVO_WINE_WARM:-}" != 1 ]; then
  wine wineboot </dev/null >/dev/null 2>&1
fi
exec wine "$@"
