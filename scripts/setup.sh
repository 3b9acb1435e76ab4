#!/usr/bin/env bash
# Installs every package the builds and tests need (Debian 12, as root) and
# prepares private Wine prefixes under the build tree: a 32-bit one and a
# 64-bit one (64-bit and 32-bit programs side by side).
# Idempotent: when everything is present it only checks and returns (well
# under a second). Both scripts/demo.sh and scripts/test.sh run it first.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/build"

# One set-up at a time per tree (demo and tests may start together).
exec 9>"$root/build/.setup.lock"
flock 9

# What each package is for:
#   cmake ninja-build g++                 native builds (presets native, asan, tsan)
#   libgtest-dev libgmock-dev             GoogleTest for the native tests
#   googletest                            its sources, built for the Windows tests
#   libbenchmark-dev rapidjson-dev libsqlite3-dev
#                                         bench/ (Google Benchmark; the peers RapidJSON, SQLite)
#   clang libclang-rt-14-dev llvm-14      fuzz preset: libFuzzer, sanitizer runtimes, symbolizer
#   clang-format                          the code style
#   g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools
#                                         32-bit Windows build: compiler, windres, widl
#   g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
#                                         64-bit Windows build (its widl is in mingw-w64-tools)
#   wine wine32:i386 wine64               running the Windows tests
#   python3                               scripts/test.sh's bookkeeping
#   nsis wixl msitools zip unzip          scripts/package.sh and its tests: the setup program, the
#                                         MSI (wixl; msibuild and msiinfo add its TypeLib table), the zips
#   osslsigncode openssl                  Authenticode signatures of the release's Windows files, and
#                                         the test command's throw-away signing certificate
need=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev
      rapidjson-dev libsqlite3-dev
      clang libclang-rt-14-dev llvm-14 clang-format
      g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
      wine wine32:i386 wine64 python3 nsis wixl msitools zip unzip
      osslsigncode openssl)

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
  # A mirror caught mid-sync fails an index now and then: retry, and go on to
  # the install with what was fetched (the install says if a package is missing).
  for try in 1 2 3; do
    if apt-get update -qq; then break; fi
    echo "setup: package index update failed (try $try of 3)" >&2
    sleep $((try * 10))
  done
  # When one architecture's security index could not be fetched, the other's
  # newer versions cannot be matched (wine32:i386 needs the same versions of
  # the shared libraries as amd64): later tries prefer the main release's
  # versions for what is installed now (nothing installed is downgraded).
  pin=$(mktemp)
  trap 'rm -f "$pin"' EXIT
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
  for try in 1 2 3; do
    prefs=()
    if ((try > 1)); then prefs=(-o "Dir::Etc::Preferences=$pin"); fi
    if apt-get "${prefs[@]}" install -y -qq --no-install-recommends "${missing[@]}" \
        </dev/null >/dev/null; then
      break
    fi
    if ((try == 3)); then
      echo "setup: could not install ${missing[*]}" >&2
      exit 1
    fi
    echo "setup: install failed (try $try of 3), updating the index again" >&2
    sleep $((try * 10))
    apt-get update -qq || true
  done
fi

# The mingw compiler comes in two thread models; the project uses the win32 one.
for tool in i686-w64-mingw32-g++ i686-w64-mingw32-gcc x86_64-w64-mingw32-g++ \
            x86_64-w64-mingw32-gcc; do
  if [ -e "/usr/bin/$tool-win32" ] &&
     [ "$(readlink -f "/usr/bin/$tool")" != "/usr/bin/$tool-win32" ]; then
    echo "setup: selecting the win32 thread model for $tool"
    update-alternatives --set "$tool" "/usr/bin/$tool-win32" >/dev/null
  fi
done

# Private prefixes, each created once, with two settings for running without
# a display: the null graphics driver (programs can create top-level windows
# and receive broadcasts) and no crash dialog (a crashing program ends with a
# failure status and a backtrace instead of waiting forever).
#   make_prefix FOLDER ARCH    ARCH: win32 or win64
make_prefix() {
  local prefix=$1 arch=$2
  local -a wine_env=(env WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all)
  if [ ! -f "$prefix/system.reg" ]; then
    echo "setup: creating the $arch Wine prefix $prefix"
    mkdir -p "$prefix"
    "${wine_env[@]}" timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
    # The server writes the registry files when it ends.
    "${wine_env[@]}" timeout 120 wineserver -w || true
    if [ ! -f "$prefix/system.reg" ]; then
      echo "setup: wineboot did not create $prefix" >&2
      return 1
    fi
  fi
  local settings=('HKCU\Software\Wine\Drivers|Graphics|REG_SZ|null|"Graphics"="null"'
                  'HKCU\Software\Wine\WineDbg|ShowCrashDialog|REG_DWORD|0|"ShowCrashDialog"=dword:00000000')
  local changed=0 setting key name type data line
  for setting in "${settings[@]}"; do
    IFS='|' read -r key name type data line <<<"$setting"
    if ! grep -qxF "$line" "$prefix/user.reg" 2>/dev/null; then
      echo "setup: Wine setting $key\\$name = $data ($prefix)"
      "${wine_env[@]}" timeout 120 wine reg add "$key" /v "$name" /t "$type" /d "$data" /f \
        </dev/null >/dev/null 2>&1 || true
      changed=1
    fi
  done
  if ((changed)); then
    # The registry reaches user.reg when the server ends (a server kept running
    # by someone else has the settings already, and writes them when it ends).
    "${wine_env[@]}" timeout 60 wineserver -w || true
    for setting in "${settings[@]}"; do
      IFS='|' read -r key name type data line <<<"$setting"
      if ! grep -qxF "$line" "$prefix/user.reg" 2>/dev/null; then
        echo "setup: warning: $name not yet written to $prefix/user.reg" >&2
      fi
    done
  fi
}
make_prefix "$root/build/wineprefix" win32
make_prefix "$root/build/wineprefix64" win64
echo "setup: ready"
