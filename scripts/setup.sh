#!/usr/bin/env bash
# Installs every package the builds and tests need (Debian 12, as root) and
# prepares a private 32-bit Wine prefix under the build tree.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

need=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev googletest
      libbenchmark-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools
      libclang-rt-14-dev python3 wine wine32:i386 wine64)

missing=()
for p in "${need[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The mingw compiler comes in two thread models; the project uses the win32 one.
if update-alternatives --list i686-w64-mingw32-g++ >/dev/null 2>&1; then
  update-alternatives --set i686-w64-mingw32-g++ /usr/bin/i686-w64-mingw32-g++-win32 >/dev/null 2>&1 || true
  update-alternatives --set i686-w64-mingw32-gcc /usr/bin/i686-w64-mingw32-gcc-win32 >/dev/null 2>&1 || true
fi

# A private 32-bit prefix, created once.
prefix="$root/build/wineprefix"
if [ ! -f "$prefix/system.reg" ]; then
  echo "setup: creating the Wine prefix $prefix"
  mkdir -p "$prefix"
  WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w || true
fi
echo "setup: ready"
