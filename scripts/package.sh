#!/usr/bin/env bash
# Makes the release: set-up, Release builds (32-bit and 64-bit Windows,
# native), then in dist/:
#
#   OrvoComm-<v>-win32.zip        OrvoComm.dll (stripped), OrvoComm.tlb, settool.exe,
#   OrvoComm-<v>-win64.zip        README-installers.txt, examples/nsis/; the 64-bit
#                                 build in the second
#   OrvoComm-<v>-win32.dll.debug  the debug information of each DLL, named by the DLL's
#   OrvoComm-<v>-win64.dll.debug  debug link (put it beside the DLL for a debugger)
#   OrvoComm-<v>-setup.exe        NSIS setup of both DLLs (packaging/nsis/OrvoComm.nsi)
#   OrvoComm-<v>.msi              MSI of the 32-bit DLL (packaging/msi/OrvoComm.wxs.in)
#   OrvoComm-<v>-x64.msi          MSI of the 64-bit DLL (the same template)
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
# settool, a 64-bit client, an MSI of the next version) are staged in
# build/package/test-tools/.
#
# Signing: every Windows binary (both DLLs and settool.exe, setup.exe and its
# uninstaller, the MSIs) gets an Authenticode signature when a key is given
# through the environment (ORVO_SIGN_PFX and ORVO_SIGN_PASSWORD, or
# ORVO_SIGN_PKCS11_KEY; ORVO_SIGN_TIMESTAMP_URL; see packaging/sign.sh).
# Without one the release is unsigned, and the script says so.
#
# Reproducible: SOURCE_DATE_EPOCH (default: the commit's time) is the time of
# every file in the zips and the tarball; the Windows builds write no time
# stamps and no build folder; each PE file is padded and checksummed as
# signing leaves it (packaging/pe_align.py), so the DLLs, settool.exe, the
# type library and the zips of two builds of one commit are equal, and a
# signed file with its signature removed equals the unsigned one.
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
# A stripped DLL is some 400 KB with its signature; one that kept its debug
# information would be about 3 MB.
max_dll_bytes=$((512 * 1024))

say() { printf '==> %s\n' "$*"; }
die() {
  echo "package: $*" >&2
  exit 1
}

bash scripts/setup.sh
mkdir -p "$logs"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) ||
    die "not a git checkout: set SOURCE_DATE_EPOCH (seconds since 1970) for the release's file times"
fi
export SOURCE_DATE_EPOCH TZ=UTC
if bash packaging/sign.sh --configured; then
  signed=1
  say "signing with ${ORVO_SIGN_PFX:-$ORVO_SIGN_PKCS11_KEY}${ORVO_SIGN_TIMESTAMP_URL:+, time stamps from $ORVO_SIGN_TIMESTAMP_URL}"
else
  signed=0
  say "UNSIGNED build: no signing key (set ORVO_SIGN_PFX or ORVO_SIGN_PKCS11_KEY, see packaging/sign.sh)"
fi
sign() {  # sign FILE...: signs when a key is configured
  if ((signed)); then bash packaging/sign.sh "$@" || die "signing failed"; fi
}
# stamp FILE...: the release's file time
stamp() { touch -h -d "@$SOURCE_DATE_EPOCH" "$@"; }

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

# msi_version V: the MSI's ProductVersion for the project version V
# (MAJOR.MINOR.PATCH.TWEAK). Windows Installer compares only the first three
# fields (at most 255.255.65535), so the last two are folded into the third:
# MAJOR.MINOR.(PATCH * 1000 + TWEAK), which rises whenever V does.
msi_version() {
  local major minor patch tweak
  IFS=. read -r major minor patch tweak <<<"$1"
  [[ "$major.$minor.$patch.${tweak:-0}" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    die "version $1 is not MAJOR.MINOR.PATCH.TWEAK"
  tweak=${tweak:-0}
  ((major <= 255 && minor <= 255 && tweak <= 999 && patch * 1000 + tweak <= 65535)) ||
    die "version $1 has no MSI form (at most 255.255.65.535, a tweak of at most 999)"
  echo "$major.$minor.$((10#$patch * 1000 + 10#$tweak))"
}
msi_version "$version" >/dev/null
say "version $version (MSI $(msi_version "$version"))"

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

# The notes for installer authors: the result table from packaging/results.txt
# (the README's table is made from the same file), CR LF lines.
python3 packaging/results_table.py --check README.md ||
  die "README.md's result table is not packaging/results.txt's (python3 packaging/results_table.py --markdown)"
python3 - "$version" >"$stage/README-installers.txt" <<'PY' || die "the notes could not be made"
import subprocess, sys
text = open("packaging/README-installers.txt").read()
table = subprocess.run([sys.executable, "packaging/results_table.py", "--text"], check=True,
                       capture_output=True, text=True).stdout
text = text.replace("@RESULTS@\n", table).replace("@VERSION@", sys.argv[1])
assert "@" + "RESULTS@" not in text and "@" + "VERSION@" not in text
sys.stdout.write(text.replace("\r\n", "\n").replace("\n", "\r\n"))
PY

# --- The Windows zips.
for arch in win32 win64; do
  case $arch in
    win32) tools=i686-w64-mingw32 build_dir=$build_prefix$win32_preset ;;
    win64) tools=x86_64-w64-mingw32 build_dir=$build_prefix$win64_preset ;;
  esac
  dir=$stage/OrvoComm-$version-$arch
  mkdir -p "$dir/examples/nsis"
  debug=OrvoComm-$version-$arch.dll.debug
  # The debug link names the file only: objcopy is run beside it.
  cp "$build_dir/server/OrvoComm.dll" "$stage/OrvoComm-$arch-full.dll"
  (cd "$stage" && split_debug "$tools-objcopy" "$tools-strip" "OrvoComm-$arch-full.dll" \
                              "$dir/OrvoComm.dll" "$debug")
  mv "$stage/$debug" "$dist/$debug"
  "$tools-strip" --strip-all -o "$dir/settool.exe" "$build_dir/tools/settool/settool.exe"
  python3 packaging/pe_align.py "$dir/OrvoComm.dll" "$dir/settool.exe" ||
    die "pe_align failed on the $arch files"
  cp "$build_dir/resources/OrvoComm.tlb" "$dir/OrvoComm.tlb"
  cp "$stage/README-installers.txt" "$dir/README-installers.txt"
  for f in orchard.nsi orchard.c README.md; do
    sed 's/\r*$/\r/' "examples/nsis/$f" >"$dir/examples/nsis/$f"
  done

  size=$(stat -c %s "$dir/OrvoComm.dll")
  if ((size > max_dll_bytes)); then
    die "$arch OrvoComm.dll is $size bytes, more than $max_dll_bytes"
  fi
  sign "$dir/OrvoComm.dll" "$dir/settool.exe"
  say "$arch: OrvoComm.dll $size bytes (debug information: dist/$debug)"
  chmod 644 "$dir/OrvoComm.tlb" "$dir/README-installers.txt" "$dir"/examples/nsis/*
  chmod 755 "$dir/OrvoComm.dll" "$dir/settool.exe"
  stamp "$dist/$debug" "$dir" "$dir/examples" "$dir/examples/nsis" "$dir"/examples/nsis/* \
        "$dir"/OrvoComm.dll "$dir"/OrvoComm.tlb "$dir"/settool.exe "$dir"/README-installers.txt
  # Fixed order, no extra attributes (-X), times in UTC.
  (cd "$dir" && zip -q -X -D "$dist/OrvoComm-$version-$arch.zip" \
                 OrvoComm.dll OrvoComm.tlb settool.exe README-installers.txt \
                 examples/nsis/README.md examples/nsis/orchard.c examples/nsis/orchard.nsi)
  stamp "$dist/OrvoComm-$version-$arch.zip"
done

# --- The NSIS setup of both DLLs.
say "NSIS setup"
nsis_sign=()
if ((signed)); then nsis_sign=("-DSIGN=bash $root/packaging/sign.sh"); fi
makensis -V2 -DVERSION="$version" "${nsis_sign[@]}" \
  -DDLL32="$stage/OrvoComm-$version-win32/OrvoComm.dll" \
  -DTLB32="$stage/OrvoComm-$version-win32/OrvoComm.tlb" \
  -DSETTOOL32="$stage/OrvoComm-$version-win32/settool.exe" \
  -DDLL64="$stage/OrvoComm-$version-win64/OrvoComm.dll" \
  -DTLB64="$stage/OrvoComm-$version-win64/OrvoComm.tlb" \
  -DSETTOOL64="$stage/OrvoComm-$version-win64/settool.exe" \
  -DOUTFILE="$dist/OrvoComm-$version-setup.exe" \
  packaging/nsis/OrvoComm.nsi >"$logs/makensis.log" 2>&1 ||
  { cat "$logs/makensis.log"; die "makensis failed"; }
sign "$dist/OrvoComm-$version-setup.exe"

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
# make_msi ARCH VERSION OUT: the MSI of ARCH's DLL (win32: x86, win64: x64)
# at VERSION, from the staged files.
make_msi() {
  local arch=$1 msi_version out=$3 work=$stage/msi-$1-$2
  msi_version=$(msi_version "$2")
  rm -rf "$work"
  mkdir -p "$work"
  # wixl takes sources relative to the folder it runs in.
  python3 - "$stage" "$work" "$arch" "$2" "$msi_version" "../OrvoComm-$version-$arch" <<'PY' || die "the $arch MSI source could not be made"
import sys
stage, work, arch, version, msi_version, files = sys.argv[1:]
text = open("packaging/msi/OrvoComm.wxs.in").read()
rows = "".join(" " * 14 + line + "\n" for line in open(stage + "/registry.wxi").read().splitlines())
# Each architecture is a product of its own (the two install side by side).
names = {
    "win32": dict(NAME="OrvoComm " + version, PROGRAM_FILES="ProgramFilesFolder",
                  UPGRADE_CODE="{3C5B1E0A-7D2F-4B8E-9A61-2F4E0C9B7D15}",
                  COMPONENT_GUID="{9E2A6C41-58B3-4F0D-8C7E-1B5D3A9F2E64}",
                  FOLDER_GUID="{1306BFB8-3AD0-44A5-81F4-4DB84692569E}",
                  COMPONENT_WIN64="", SEARCH_WIN64=""),
    "win64": dict(NAME="OrvoComm " + version + " (64-bit)", PROGRAM_FILES="ProgramFiles64Folder",
                  UPGRADE_CODE="{9497120C-AC6A-4404-9088-D7610442271F}",
                  COMPONENT_GUID="{32B2DC5E-9290-4AB5-8AE8-F21C23F6D5D3}",
                  FOLDER_GUID="{CE0CFEE3-8557-4640-A0D5-A8366C35E2BF}",
                  COMPONENT_WIN64=' Win64="yes"', SEARCH_WIN64=' Win64="yes"'),
}[arch]
names.update(MSI_VERSION=msi_version, DIR=files, REGISTRY=rows.rstrip("\n"))
for name, value in names.items():
    text = text.replace("@" + name + "@", value)
assert "@" not in text.replace('"#', ""), "a name of the template is left"
open(work + "/OrvoComm.wxs", "w").write(text)
PY
  local wixl_arch=x86 attributes=8
  if [ "$arch" = win64 ]; then wixl_arch=x64 attributes=$((8 + 256)); fi
  (cd "$work" && wixl -a "$wixl_arch" -o "$out" OrvoComm.wxs) >"$logs/wixl-$arch.log" 2>&1 ||
    { cat "$logs/wixl-$arch.log"; die "wixl failed ($arch)"; }
  # wixl knows no TypeLib element and no SharedDllRefCount attribute: the
  # table, its two actions and the component's attributes are added to the
  # package (tables in the installer's text form, CR LF lines). The count
  # makes Windows Installer count the DLL among its users in SharedDLLs; an
  # uninstall that finds another user counted (setup.exe) leaves the files,
  # their registry rows and the type library in place for it.
  (
    cd "$work"
    printf 'LibID\tLanguage\tComponent_\tVersion\tDescription\tDirectory_\tFeature_\tCost\r\n'
    printf 's38\ti2\ts72\tI4\tL128\tS72\ts38\tI4\r\n'
    printf 'TypeLib\tLibID\tLanguage\tComponent_\r\n'
    printf '%s\t0\tOrvoComm\t%d\tOrvoCommLib\t\tComplete\t\r\n' "$libid" $((major * 256 + minor))
  ) >"$work/TypeLib.idt"
  msiinfo export "$out" Component | tr -d '\r' |
    awk -F '\t' -v OFS='\t' -v a="$attributes" 'NR > 3 && $1 == "OrvoComm" { $4 = a } { printf "%s\r\n", $0 }' \
    >"$work/Component.idt"
  local shared='ORVODLLUSERS > "#1" AND REMOVE~="ALL"'
  msiinfo export "$out" InstallExecuteSequence | tr -d '\r' |
    awk -F '\t' -v OFS='\t' -v c="NOT ($shared)" '
      NR > 3 && ($1 == "RemoveFiles" || $1 == "RemoveRegistryValues" || $1 == "RemoveFolders") { $2 = c }
      { printf "%s\r\n", $0 }
      END { printf "RegisterTypeLibraries\t\t5500\r\nUnregisterTypeLibraries\t%s\t2300\r\n", c }' \
    >"$work/InstallExecuteSequence.idt"
  grep -q "^RemoveFiles.NOT (ORVODLLUSERS" "$work/InstallExecuteSequence.idt" &&
    grep -q "^OrvoComm.*	$attributes	" "$work/Component.idt" ||
    die "the $arch MSI's tables are not as expected"
  (cd "$work" && msibuild "$out" -i TypeLib.idt && msibuild "$out" -i Component.idt &&
     msibuild "$out" -i InstallExecuteSequence.idt) ||
    die "msibuild could not add the tables ($arch)"
  sign "$out"
}
major=${libversion%.*}
minor=${libversion#*.}
make_msi win32 "$version" "$dist/OrvoComm-$version.msi"
make_msi win64 "$version" "$dist/OrvoComm-$version-x64.msi"

# --- The store for Linux programs: what `cmake --install` of the native
# build installs.
tarball=orvo-store-$version-linux-x86_64
say "$tarball.tar.gz"
rm -rf "${stage:?}/$tarball"
cmake --install "$native_dir" --prefix "$stage/$tarball" >"$logs/install.log" 2>&1 ||
  { cat "$logs/install.log"; die "cmake --install failed"; }
if [ -x "$stage/$tarball/bin/settool" ]; then
  tar -C "$stage" --owner=0 --group=0 --numeric-owner --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    -cf - "$tarball" | gzip -n -9 >"$dist/$tarball.tar.gz"
  stamp "$dist/$tarball.tar.gz"
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
# The 32-bit MSI once more, one version higher (the same files): an upgrade.
IFS=. read -r v1 v2 v3 v4 <<<"$version"
next=$v1.$v2.$v3.$((${v4:-0} + 1))
echo "$next" >"$stage/test-tools/next-version"
make_msi win32 "$next" "$stage/test-tools/OrvoComm-$next.msi"

say "dist/:"
(cd "$dist" && ls -l | awk 'NR > 1 { printf "  %9d  %s\n", $5, $NF }')
