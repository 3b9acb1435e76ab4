#!/usr/bin/env bash
# Makes the release: set-up, Release builds (32-bit and 64-bit Windows,
# native), then in dist/:
#
#   OrvoComm-<v>-win32.zip        OrvoComm.dll (stripped), OrvoComm.tlb, settool.exe,
#   OrvoComm-<v>-win64.zip        README-installers.txt; the 64-bit build in the second
#   OrvoComm-<v>-win32.dll.debug  the debug information of each DLL, named by the DLL's
#   OrvoComm-<v>-win64.dll.debug  debug link (put it beside the DLL for a debugger)
#   OrvoComm-<v>-setup.exe        NSIS setup of both DLLs (packaging/nsis/OrvoComm.nsi)
#   OrvoComm-<v>.msi              MSI of the 32-bit DLL (packaging/msi/OrvoComm.wxs.in)
#   orvo-store-<v>-linux-x86_64.tar.gz
#                                 `cmake --install` of the native build: settool, the
#                                 store library, its headers and CMake package
#
# <v> is the project's version (project() in CMakeLists.txt). Builds are in
# build/release-{native,win32,win64}, staging in build/package/, logs in
# build/package-logs/. Exit status 0 when every package was made.
#
# ORVO_PACKAGE_PRESETS="NATIVE WIN32 WIN64" names other presets to build from
# (scripts/test.sh uses its own native, windows and windows64 builds, which
# compile with the same flags, -O2 -g -DNDEBUG); ORVO_BUILD_PREFIX as in
# scripts/test.sh. The programs the installer tests need besides the
# packages (the example's sample program, the broadcast listener, a native
# settool, a 64-bit client) are staged in build/package/test-tools/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${ORVO_JOBS:-2}
read -r native_preset win32_preset win64_preset \
  <<<"${ORVO_PACKAGE_PRESETS:-release-native release-win32 release-win64}"
build_prefix=${ORVO_BUILD_PREFIX:-build/}
stage=$root/build/package
logs=$root/build/package-logs
dist=$root/dist
max_dll_bytes=$((400 * 1024))

say() { printf '==> %s\n' "$*"; }
die() {
  echo "package: $*" >&2
  exit 1
}

bash scripts/setup.sh
mkdir -p "$logs"

# build PRESET TARGET...: configure and build in <prefix>PRESET; the log is
# shown on failure.
build() {
  local preset=$1
  shift
  say "building $* (preset $preset, in $build_prefix$preset)"
  if ! { cmake --preset "$preset" -B "$build_prefix$preset" &&
         cmake --build "$build_prefix$preset" -j "$jobs" --target "$@"; } \
       >"$logs/$preset.log" 2>&1; then
    tail -n 40 "$logs/$preset.log"
    die "the $preset build failed (log: build/package-logs/$preset.log)"
  fi
}

native_dir=$build_prefix$native_preset
# The native build's install rules may name any of its targets: all of it
# (in a release preset, without tests).
if [ "$native_preset" = release-native ]; then
  build "$native_preset" all
else
  build "$native_preset" settool msi_registry
fi
build "$win32_preset" OrvoComm settool orchard broadcast_listener
build "$win64_preset" OrvoComm settool demo_client

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native_dir/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $native_dir/CMakeCache.txt"
say "version $version"

rm -rf "$stage" "$dist"
mkdir -p "$stage" "$dist"

# split_debug OBJCOPY STRIP IN OUT DEBUG: OUT is IN without debug information
# and with a debug link to DEBUG, which holds that information.
split_debug() {
  local objcopy=$1 strip=$2 in=$3 out=$4 debug=$5
  "$objcopy" --only-keep-debug "$in" "$debug"
  "$strip" --strip-all -o "$out" "$in"
  "$objcopy" --add-gnu-debuglink="$debug" "$out"
}

# --- The Windows zips.
for arch in win32 win64; do
  case $arch in
    win32) tools=i686-w64-mingw32 build_dir=$build_prefix$win32_preset ;;
    win64) tools=x86_64-w64-mingw32 build_dir=$build_prefix$win64_preset ;;
  esac
  dir=$stage/OrvoComm-$version-$arch
  mkdir -p "$dir"
  debug=OrvoComm-$version-$arch.dll.debug
  # The debug link names the file only: objcopy is run beside it.
  cp "$build_dir/server/OrvoComm.dll" "$stage/OrvoComm-$arch-full.dll"
  (cd "$stage" && split_debug "$tools-objcopy" "$tools-strip" "OrvoComm-$arch-full.dll" \
                              "$dir/OrvoComm.dll" "$debug")
  mv "$stage/$debug" "$dist/$debug"
  "$tools-strip" --strip-all -o "$dir/settool.exe" "$build_dir/tools/settool/settool.exe"
  cp "$build_dir/resources/OrvoComm.tlb" "$dir/OrvoComm.tlb"
  sed "s/@VERSION@/$version/g" packaging/README-installers.txt >"$dir/README-installers.txt"

  size=$(stat -c %s "$dir/OrvoComm.dll")
  if ((size > max_dll_bytes)); then
    die "$arch OrvoComm.dll is $size bytes, more than $max_dll_bytes"
  fi
  say "$arch: OrvoComm.dll $size bytes (debug information: dist/$debug)"
  (cd "$dir" && zip -q -X "$dist/OrvoComm-$version-$arch.zip" \
                 OrvoComm.dll OrvoComm.tlb settool.exe README-installers.txt)
done

# --- The NSIS setup of both DLLs.
say "NSIS setup"
makensis -V2 -DVERSION="$version" \
  -DDLL32="$stage/OrvoComm-$version-win32/OrvoComm.dll" \
  -DTLB32="$stage/OrvoComm-$version-win32/OrvoComm.tlb" \
  -DDLL64="$stage/OrvoComm-$version-win64/OrvoComm.dll" \
  -DTLB64="$stage/OrvoComm-$version-win64/OrvoComm.tlb" \
  -DOUTFILE="$dist/OrvoComm-$version-setup.exe" \
  packaging/nsis/OrvoComm.nsi >"$logs/makensis.log" 2>&1 ||
  { cat "$logs/makensis.log"; die "makensis failed"; }

# --- The MSI. Its registry rows are the registry scripts that the DLL
# carries (the REGISTRY resources of resources/OrvoComm.rc), run with MODULE
# set to the installed file; the type library goes through the TypeLib table.
say "MSI"
mapfile -t scripts < <(sed -n 's/^[A-Z_0-9]*[[:space:]]\+REGISTRY[[:space:]]\+"\([^"]*\)".*/resources\/\1/p' \
                         resources/OrvoComm.rc)
((${#scripts[@]})) || die "no REGISTRY resources in resources/OrvoComm.rc"
"$native_dir/tools/msi_registry/msi_registry" --set 'MODULE=[#OrvoComm.dll]' \
  "${scripts[@]}" >"$stage/registry.wxi" || die "msi_registry failed"
# The type library named by the class entries, and its version.
libid=$(sed -n "s/.*TypeLib = s '\({[0-9A-Fa-f-]*}\)'.*/\1/p" "${scripts[@]}" | sort -u)
libversion=$(sed -n "s/.*Version = s '\([0-9]*\.[0-9]*\)'.*/\1/p" "${scripts[@]}" | sort -u)
[ "$(printf '%s\n' "$libid" | wc -l)" = 1 ] && [ -n "$libid" ] ||
  die "the class scripts do not name one type library"
[ "$(printf '%s\n' "$libversion" | wc -l)" = 1 ] && [ -n "$libversion" ] ||
  die "the class scripts do not name one type library version"
# wixl takes sources relative to the folder it runs in.
python3 - "$stage" "$version" "OrvoComm-$version-win32" <<'PY'
import sys
stage, version, win32 = sys.argv[1:]
text = open("packaging/msi/OrvoComm.wxs.in").read()
rows = "".join(" " * 14 + line + "\n" for line in open(stage + "/registry.wxi").read().splitlines())
for name, value in (("@VERSION@", version), ("@DLL@", win32 + "/OrvoComm.dll"),
                    ("@TLB@", win32 + "/OrvoComm.tlb"), ("@REGISTRY@", rows.rstrip("\n"))):
    text = text.replace(name, value)
open(stage + "/OrvoComm.wxs", "w").write(text)
PY
msi=$dist/OrvoComm-$version.msi
(cd "$stage" && wixl -a x86 -o "$msi" OrvoComm.wxs) >"$logs/wixl.log" 2>&1 ||
  { cat "$logs/wixl.log"; die "wixl failed"; }
# wixl knows no TypeLib element: the table and its two actions are added to
# the package (tables in the installer's text form, CR LF lines).
major=${libversion%.*}
minor=${libversion#*.}
(
  cd "$stage"
  printf 'LibID\tLanguage\tComponent_\tVersion\tDescription\tDirectory_\tFeature_\tCost\r\n'
  printf 's38\ti2\ts72\tI4\tL128\tS72\ts38\tI4\r\n'
  printf 'TypeLib\tLibID\tLanguage\tComponent_\r\n'
  printf '%s\t0\tOrvoComm\t%d\tOrvoCommLib\t\tComplete\t\r\n' "$libid" $((major * 256 + minor))
) >"$stage/TypeLib.idt"
msiinfo export "$msi" InstallExecuteSequence >"$stage/InstallExecuteSequence.idt"
printf 'RegisterTypeLibraries\t\t5500\r\nUnregisterTypeLibraries\t\t2300\r\n' \
  >>"$stage/InstallExecuteSequence.idt"
(cd "$stage" && msibuild "$msi" -i TypeLib.idt && msibuild "$msi" -i InstallExecuteSequence.idt) ||
  die "msibuild could not add the type library table"

# --- The store for Linux programs: what `cmake --install` of the native
# build installs.
tarball=orvo-store-$version-linux-x86_64
say "$tarball.tar.gz"
rm -rf "${stage:?}/$tarball"
cmake --install "$native_dir" --prefix "$stage/$tarball" >"$logs/install.log" 2>&1 ||
  { cat "$logs/install.log"; die "cmake --install failed"; }
if [ -x "$stage/$tarball/bin/settool" ]; then
  tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$dist/$tarball.tar.gz" "$tarball"
else
  echo "package: warning: the native build installs no settool (no install rules yet):" \
       "$tarball.tar.gz not made" >&2
fi

# --- For the installer tests (tests/installers/installers_test.sh).
mkdir -p "$stage/test-tools"
echo "$version" >"$stage/version"
cp "$build_prefix$win32_preset/examples/nsis/orchard.exe" \
   "$build_prefix$win32_preset/tools/broadcast_listener/broadcast_listener.exe" \
   "$native_dir/tools/settool/settool" "$stage/test-tools/"
cp "$build_prefix$win64_preset/tools/demo_client/demo_client.exe" "$stage/test-tools/demo_client64.exe"

say "dist/:"
(cd "$dist" && ls -l | awk 'NR > 1 { printf "  %9d  %s\n", $5, $NF }')
