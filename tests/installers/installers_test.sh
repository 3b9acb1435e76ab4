#!/usr/bin/env bash
# The release's installers, run silently under Wine as an administrator's or
# an installer author's machine would run them, in the 64-bit prefix
# build/wineprefix64 (64-bit and 32-bit programs side by side):
#
#   0. the zips hold their files, and each DLL its debug link;
#   1. the reference: the system's regsvr32 of each bitness registers each
#      packaged DLL in its final place; the registry entries are recorded
#      (32-bit DLL alone, then both), and regsvr32 /u removes them again;
#   2. dist/OrvoComm-<v>-setup.exe /S: the entries are exactly those of
#      regsvr32 for both DLLs, in both registry views; after step 3 a 64-bit
#      client calls the 64-bit DLL, and each zip's settool.exe checks the file;
#   3. the example installer (examples/nsis/orchard.nsi, built here) /S: its
#      record lands in "InstallApp.set" value by value, and its broadcast
#      reaches a listener in another process (again after step 5's install);
#   4. the setup's uninstaller /S: every entry and both DLLs are gone;
#   5. msiexec /i dist/OrvoComm-<v>.msi /qn: the entries are exactly those of
#      regsvr32 for the 32-bit DLL; msiexec /x ... /qn: they are gone.
#
# Needs scripts/package.sh's outputs (dist/, build/package/). Prints one
# line per check and ends with "N passed, N failed"; exit status 0 when
# nothing failed. Every Windows program runs under a time limit.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
logs=$root/build/logs/installers
rm -rf "$logs"
mkdir -p "$logs"

export WINEPREFIX=$root/build/wineprefix64 WINEARCH=win64 WINEDEBUG=-all
limit=120  # seconds for any one Windows program

passed=0
failed=0
check() {  # check NAME COMMAND...: runs the command, counts and reports it
  local name=$1
  shift
  if "$@" >>"$logs/checks.log" 2>&1; then
    passed=$((passed + 1))
    echo "PASS: $name"
  else
    failed=$((failed + 1))
    echo "FAIL: $name (log: build/logs/installers/)"
  fi
}
fatal() {
  echo "FAIL: $*"
  failed=$((failed + 1))
  finish
}

stage=build/package
version=$(cat "$stage/version" 2>/dev/null)
setup=dist/OrvoComm-$version-setup.exe
msi=dist/OrvoComm-$version.msi
dll32=$stage/OrvoComm-$version-win32/OrvoComm.dll
dll64=$stage/OrvoComm-$version-win64/OrvoComm.dll
orchard=$stage/test-tools/orchard.exe
listener=$stage/test-tools/broadcast_listener.exe
settool=$stage/test-tools/settool
client64=$stage/test-tools/demo_client64.exe

drive=$WINEPREFIX/drive_c
pf32_win='C:\Program Files (x86)'
pf64_win='C:\Program Files'
pf32=$drive/Program\ Files\ \(x86\)
pf64=$drive/Program\ Files
set_file=$drive/ProgramData/Tamsiver/InstallApp.set

# --- Wine: a server of our own for the run, stopped at the end.
wine_ours=0
if wineserver -p </dev/null >/dev/null 2>&1; then wine_ours=1; fi
timeout "$limit" wine wineboot </dev/null >/dev/null 2>&1
listener_pid=
finish() {
  if [ -n "$listener_pid" ]; then kill "$listener_pid" 2>/dev/null; fi
  if ((wine_ours)); then wineserver -k </dev/null >/dev/null 2>&1; fi
  echo "$passed passed, $failed failed"
  exit $((failed != 0))
}
trap 'finish' INT TERM

win() { timeout "$limit" wine "$@" </dev/null; }
# Runs a GUI program (installers) and waits for it; its exit code is ours.
win_wait() { timeout "$limit" wine start /wait /unix "$@" </dev/null; }

for f in "$setup" "$msi" "$dll32" "$dll64" "$orchard" "$listener" "$settool" "$client64"; do
  [ -e "$f" ] || fatal "missing $f (run scripts/package.sh first)"
done

# --- 0. The zips: their files, the DLL's size and machine, its debug link.
zip_contents() {  # zip_contents ARCH MACHINE
  local arch=$1 machine=$2 zip=dist/OrvoComm-$version-$1.zip dir
  dir=$(mktemp -d)
  unzip -q "$zip" -d "$dir" &&
    [ "$(cd "$dir" && ls | sort | tr '\n' ' ')" = \
      "OrvoComm.dll OrvoComm.tlb README-installers.txt settool.exe " ] &&
    [ "$(stat -c %s "$dir/OrvoComm.dll")" -le $((400 * 1024)) ] &&
    objdump -f "$dir/OrvoComm.dll" | grep -q "file format $machine" &&
    python3 - "$dir/OrvoComm.dll" "dist/OrvoComm-$version-$arch.dll.debug" <<'PY'
import os, subprocess, sys, tempfile, zlib
dll, debug = sys.argv[1:]
# .gnu_debuglink: the debug file's name, NUL, padding to 4, its CRC-32.
with tempfile.NamedTemporaryFile() as section:
    subprocess.run(["objcopy", "--dump-section", ".gnu_debuglink=" + section.name, dll], check=True)
    out = open(section.name, "rb").read()
end = out.index(b"\0")
name = out[:end].decode()
at = (end + 4) & ~3
crc = int.from_bytes(out[at:at + 4], "little")
assert name == os.path.basename(debug), (name, debug)
assert crc == zlib.crc32(open(debug, "rb").read()), "the debug file does not match the link"
PY
  local status=$?
  rm -rf "$dir"
  return $status
}
check "win32 zip: its files, a 32-bit DLL of at most 400 KB linked to its debug file" \
  zip_contents win32 pei-i386
check "win64 zip: its files, a 64-bit DLL of at most 400 KB linked to its debug file" \
  zip_contents win64 pei-x86-64

# --- The registry entries of the module, as `reg query` shows them in each
# view: both classes, the type library, both interfaces.
keys=('HKCR\CLSID\{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}'
      'HKCR\CLSID\{CD3E96FF-112C-4A1E-BE81-38131E53DFD5}'
      'HKCR\TypeLib\{8F9584AF-1928-4191-91EB-0577C5CDE0FE}'
      'HKCR\Interface\{A911DD96-7FF5-49E7-ACBF-6FA606D63D77}'
      'HKCR\Interface\{4D731A17-6FA4-4A46-BD80-3BBF9A0C7549}'
      'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvoComm')
dump() {  # dump FILE: the entries, or "absent" per key
  local view key
  for view in 32 64; do
    for key in "${keys[@]}"; do
      echo "== view $view: $key"
      # Wine's reg prints its complaint about a missing key on standard output.
      win reg query "$key" /s /reg:$view 2>/dev/null | tr -d '\r' | sed -e '/^$/d' -e '/^reg: /d' ||
        echo absent
    done
  done >"$1"
}
same() { diff -u "$1" "$2"; }
nothing_registered() { ! grep -v -e '^== ' -e '^absent$' "$1"; }

# Back to a machine without the module (a run that was stopped may have left it).
clean() {
  local view key
  for view in 32 64; do
    for key in "${keys[@]}"; do win reg delete "$key" /f /reg:$view >/dev/null 2>&1; done
  done
  rm -rf "$pf32/Tamsiver" "$pf64/Tamsiver" "$pf32/Orchard" "$drive/ProgramData/Tamsiver"
}
clean

# --- 1. The reference: regsvr32 of each bitness on the DLLs in their place.
mkdir -p "$pf32/Tamsiver/OrvoComm" "$pf64/Tamsiver/OrvoComm"
cp "$dll32" "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"
cp "$dll64" "$pf64/Tamsiver/OrvoComm/OrvoComm.dll"
regsvr32_32='C:\windows\syswow64\regsvr32.exe'
regsvr32_64='C:\windows\system32\regsvr32.exe'
dll32_win="$pf32_win\\Tamsiver\\OrvoComm\\OrvoComm.dll"
dll64_win="$pf64_win\\Tamsiver\\OrvoComm\\OrvoComm.dll"
reference() {
  win "$regsvr32_32" /s "$dll32_win" &&
    dump "$logs/regsvr32-32.txt" &&
    win "$regsvr32_64" /s "$dll64_win" &&
    dump "$logs/regsvr32-both.txt" &&
    win "$regsvr32_64" /u /s "$dll64_win" &&
    win "$regsvr32_32" /u /s "$dll32_win" &&
    dump "$logs/clean.txt" &&
    nothing_registered "$logs/clean.txt" &&
    # Each class's server is its own bitness's DLL, in its own view.
    grep -qxF "    (Default)    REG_SZ    $dll32_win" "$logs/regsvr32-32.txt" &&
    grep -A4 -F '== view 32: HKCR\CLSID\{54E03D1C' "$logs/regsvr32-both.txt" | grep -qF "$dll32_win" &&
    grep -A4 -F '== view 64: HKCR\CLSID\{54E03D1C' "$logs/regsvr32-both.txt" | grep -qF "$dll64_win"
}
check "regsvr32 registers each DLL in its own view and unregisters it" reference
rm -rf "$pf32/Tamsiver" "$pf64/Tamsiver"

# --- 2. The NSIS setup.
check "setup.exe /S exits 0" win_wait "$setup" /S
dump "$logs/setup.txt"
# The uninstall entry is the setup's own; the rest must match regsvr32's.
setup_entries() { sed '/Uninstall\\OrvoComm$/,/^== /{/^== /!d}' "$1"; }
check "setup.exe: the registry entries are regsvr32's for both DLLs" \
  same <(setup_entries "$logs/regsvr32-both.txt") <(setup_entries "$logs/setup.txt")
check "setup.exe: both DLLs and the uninstaller in place" \
  test -f "$pf32/Tamsiver/OrvoComm/OrvoComm.dll" -a -f "$pf64/Tamsiver/OrvoComm/OrvoComm.dll" \
       -a -f "$pf32/Tamsiver/OrvoComm/uninstall.exe"
check "setup.exe: the DLLs are the packaged ones" \
  cmp "$dll32" "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"

# --- 3. The example installer calls the 32-bit DLL.
example() {
  makensis -V2 -DORCHARD_EXE="$root/$orchard" -DOUTFILE="$root/$stage/orchard-setup.exe" \
    examples/nsis/orchard.nsi
}
check "the example installer builds" example
record() {
  "$settool" dump --json "$set_file" >"$logs/InstallApp.json" &&
    python3 - "$logs/InstallApp.json" "$pf32_win\\Orchard" <<'PY'
import json, sys
tree = json.load(open(sys.argv[1]))
folder = sys.argv[2]
def child(node, name):
    hits = [c["node"] for c in node["children"] if c["node"]["name"] == name]
    assert len(hits) == 1, (name, len(hits))
    return hits[0]
apps = [c for c in child(tree, "APP")["children"]]
assert len(apps) == 1 and apps[0]["id"] == 1, apps
values = {c["node"]["name"]: bytes.fromhex(c["node"]["value_hex"]).decode("utf-16-le")
          for c in apps[0]["node"]["children"]}
expected = {"Caller": "orchard-setup.exe", "Name": "Orchard", "Version": "2.4.1",
            "InstallDir": folder, "MainProgramPath": folder + "\\orchard.exe", "Param": "",
            "MainIcon": folder + "\\orchard.ico", "Desc": "Fruit trees"}
expected = {k: v + "\0" for k, v in expected.items()}
assert values == expected, (values, expected)
print("record as expected:", sorted(values))
PY
}
# run_example WHAT: the example installer with a listener waiting; its
# record in "InstallApp.set" (made new by clean) and the broadcast.
run_example() {
  local what=$1 listener_status
  timeout "$limit" wine "$listener" --count 1 --timeout-ms 60000 </dev/null \
    >"$logs/listener-${what// /-}.txt" 2>&1 &
  listener_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^ready' "$logs/listener-${what// /-}.txt" 2>/dev/null && break
    sleep 0.2
  done
  check "$what: orchard-setup.exe /S exits 0 (NotifyApplicationInstalled succeeded)" \
    win_wait "$stage/orchard-setup.exe" /S
  wait "$listener_pid"
  listener_status=$?
  listener_pid=
  check "$what: the broadcast reached a listener in another process" test "$listener_status" = 0
  check "$what: InstallApp.set holds the example's record, value by value" record
}
run_example "after setup.exe"
# A 64-bit client finds the 64-bit DLL in the 64-bit view and calls it by
# name through the type library registered for win64 (demo_client's own
# expectations: recorded, recorded already, refused).
check "after setup.exe: a 64-bit client creates the object and calls it by name" \
  win "$client64"
zip_settool() {
  win "$stage/OrvoComm-$version-win32/settool.exe" check 'C:\ProgramData\Tamsiver\InstallApp.set' &&
    win "$stage/OrvoComm-$version-win64/settool.exe" check 'C:\ProgramData\Tamsiver\InstallApp.set'
}
check "settool.exe of both zips checks the InstallApp.set they wrote" zip_settool

# --- 4. The setup's uninstaller (run in place, so that it can be waited for).
printf '@"%s\\Tamsiver\\OrvoComm\\uninstall.exe" /S _?=%s\\Tamsiver\\OrvoComm\r\n@exit /b %%ERRORLEVEL%%\r\n' \
  "$pf32_win" "$pf32_win" >"$drive/orvo-uninstall.cmd"
check "the uninstaller /S exits 0" win cmd /c 'C:\orvo-uninstall.cmd'
rm -f "$drive/orvo-uninstall.cmd" "$pf32/Tamsiver/OrvoComm/uninstall.exe"
dump "$logs/setup-removed.txt"
check "after the uninstaller no entry is left" nothing_registered "$logs/setup-removed.txt"
check "after the uninstaller both DLLs are gone" \
  test ! -e "$pf32/Tamsiver/OrvoComm/OrvoComm.dll" -a ! -e "$pf64/Tamsiver/OrvoComm/OrvoComm.dll"
clean

# --- 5. The MSI.
msi_win="Z:$(realpath "$msi" | tr / '\\')"
check "msiexec /i /qn exits 0" win msiexec /i "$msi_win" /qn
dump "$logs/msi.txt"
check "MSI: the registry entries are regsvr32's for the 32-bit DLL" \
  same "$logs/regsvr32-32.txt" "$logs/msi.txt"
check "MSI: the DLL is the packaged one" cmp "$dll32" "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"
run_example "after the MSI"
rm -rf "$pf32/Orchard"
check "msiexec /x /qn exits 0" win msiexec /x "$msi_win" /qn
dump "$logs/msi-removed.txt"
check "after msiexec /x no entry is left" nothing_registered "$logs/msi-removed.txt"
check "after msiexec /x the DLL is gone" test ! -e "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"
clean

finish
