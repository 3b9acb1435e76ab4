#!/usr/bin/env bash
# Runs a Windows program under the project's private 64-bit Wine prefix
# (build/wineprefix64, made by scripts/setup.sh); CTest uses it as the
# emulator of the 64-bit Windows build. The program's exit code is returned.
# See scripts/wine-run.sh for why the services are started first.
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${ORVO_WINEPREFIX64:-$root/build/wineprefix64}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
if [ "${ORVO_WINE_WARM:-}" != 1 ]; then
  wine wineboot </dev/null >/dev/null 2>&1
fi
exec wine "$@"
