#!/usr/bin/env bash
# The release's installers, run silently under Wine as an administrator's or
# an installer author's machine would run them, in the 64-bit prefix
# build/wineprefix64 (64-bit and 32-bit programs side by side):
#
#   0. the zips hold their files, each DLL its debug link, the notes their
#      whole result table (the README's, from one source) in CR LF lines;
#      every Windows binary of the release is signed, and a byte changed in
#      one fails the check (with ORVO_SIGN_CA, the certificate it was signed
#      with: the test command passes it); the 32-bit DLL and its type
#      library built a second time, in another folder, are byte for byte the
#      release's (its signature removed);
#   1. the reference: the system's regsvr32 of each bitness registers each
#      packaged DLL in its final place; the registry entries are recorded
#      (64-bit DLL alone; 32-bit DLL alone, then both), and regsvr32 /u
#      removes them again;
#   2. dist/OrvoComm-<v>-setup.exe /S: the entries are exactly those of
#      regsvr32 for both DLLs, in both registry views; after step 3 a 64-bit
#      client calls the 64-bit DLL, and each zip's settool.exe checks the file;
#   3. the example installer (examples/nsis/orchard.nsi, built here) /S: its
#      record lands in "InstallApp.set" value by value, and its broadcast
#      reaches a listener in another process (again after step 5's install);
#      run again over a changed record it brings the record up to date, and
#      its uninstaller removes the record and broadcasts;
#   4. the setup's uninstaller /S: every entry and both DLLs are gone;
#   5. msiexec /i dist/OrvoComm-<v>.msi /qn: the entries are exactly those of
#      regsvr32 for the 32-bit DLL; the MSI of the next version replaces it
#      in place (one product left), the older one is then refused; msiexec /x
#      ... /qn: everything is gone, no folder left;
#   6. the 64-bit MSI: regsvr32's entries for the 64-bit DLL, the 64-bit
#      client calls it, msiexec /x leaves nothing;
#   7. setup.exe and the MSI together, in both orders, each removed while
#      the other stays: the one left is still registered exactly as before
#      and the example installer's call succeeds; once both are removed,
#      nothing is left (entries, files, folders, SharedDLLs counts).
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
msi64=dist/OrvoComm-$version-x64.msi
next=$(cat "$stage/test-tools/next-version" 2>/dev/null)
msi_next=$stage/test-tools/OrvoComm-$next.msi

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

for f in "$setup" "$msi" "$msi64" "$msi_next" "$dll32" "$dll64" "$orchard" "$listener" "$settool" \
         "$client64"; do
  [ -e "$f" ] || fatal "missing $f (run scripts/package.sh first)"
done

# --- 0. The zips: their files, the DLL's size and machine, its debug link.
zip_contents() {  # zip_contents ARCH MACHINE
  local arch=$1 machine=$2 zip=dist/OrvoComm-$version-$1.zip dir
  dir=$(mktemp -d)
  unzip -q "$zip" -d "$dir" &&
    [ "$(cd "$dir" && find . -type f | sort | tr '\n' ' ')" = \
      "./OrvoComm.dll ./OrvoComm.tlb ./README-installers.txt ./examples/nsis/README.md ./examples/nsis/orchard.c ./examples/nsis/orchard.nsi ./settool.exe " ] &&
    cmp <(tr -d '\r' <"$dir/examples/nsis/orchard.nsi") examples/nsis/orchard.nsi &&
    [ "$(stat -c %s "$dir/OrvoComm.dll")" -le $((512 * 1024)) ] &&
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
check "win32 zip: its files, a 32-bit DLL of at most 512 KB linked to its debug file" \
  zip_contents win32 pei-i386
check "win64 zip: its files, a 64-bit DLL of at most 512 KB linked to its debug file" \
  zip_contents win64 pei-x86-64

# The notes: CR LF lines only, no name left unfilled, every result of the
# table (packaging/results.txt) with its text, and the README's table made
# from the same source.
notes() {
  local dir status
  dir=$(mktemp -d)
  unzip -q "dist/OrvoComm-$version-$1.zip" README-installers.txt -d "$dir" &&
    python3 - "$dir/README-installers.txt" packaging/results.txt <<'PY'
import re, sys
data = open(sys.argv[1], "rb").read()
assert data.count(b"\n") > 100 and data.count(b"\n") == data.count(b"\r\n"), "not CR LF lines"
text = " ".join(data.decode("ascii").split())
assert "@" not in text, "a name left unfilled"
assert "examples\\nsis\\ in this zip" in text, "no pointer to the example"
for line in open(sys.argv[2]):
    if line.startswith("#") or not line.strip():
        continue
    result, when, what = (" ".join(f.replace("`", "").split()) for f in line.split(" | "))
    entry = result + " when: " + when + " then: " + what
    assert entry in text, "missing: " + entry
PY
  status=$?
  rm -rf "$dir"
  return $status
}
check "win32 zip: README-installers.txt in CR LF lines with the whole result table" notes win32
check "win64 zip: README-installers.txt in CR LF lines with the whole result table" notes win64
check "README.md: its result table is the one made from packaging/results.txt" \
  python3 packaging/results_table.py --check README.md

# --- Signatures: every Windows binary of the release, against the
# certificate it was signed with; one changed byte must fail.
unpacked=$(mktemp -d)
for arch in win32 win64; do
  mkdir -p "$unpacked/$arch"
  unzip -q "dist/OrvoComm-$version-$arch.zip" -d "$unpacked/$arch"
done
signed_files=("$unpacked"/win32/OrvoComm.dll "$unpacked"/win32/settool.exe
              "$unpacked"/win64/OrvoComm.dll "$unpacked"/win64/settool.exe
              "$setup" "$msi" "$msi64" "$msi_next")
verify() { osslsigncode verify -CAfile "$ORVO_SIGN_CA" -in "$1"; }
tampered_fails() {  # a copy with one byte changed in the middle fails
  local copy=$unpacked/tampered
  python3 -c '
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 3] ^= 0x01
open(sys.argv[2], "wb").write(data)' "$1" "$copy" && ! verify "$copy"
}
if [ -n "${ORVO_SIGN_CA:-}" ]; then
  for f in "${signed_files[@]}"; do
    check "signature of ${f#"$unpacked"/} verifies" verify "$f"
  done
  check "a changed byte in the 32-bit DLL fails its signature" tampered_fails "$unpacked/win32/OrvoComm.dll"
  check "a changed byte in the MSI fails its signature" tampered_fails "$msi"
else
  echo "SKIP: signatures (unsigned release; ORVO_SIGN_CA names the certificate to check against)"
fi

# --- Reproducible: the 32-bit DLL built again from the same sources, in
# another folder, and made into the release's form the way package.sh makes
# it, equals the release's DLL with its signature removed; so does the type
# library.
again=${ORVO_BUILD_PREFIX:-build/}repro-windows
rebuild() {
  rm -rf "$again" &&
    cmake --preset windows -B "$again" >"$logs/repro-configure.log" 2>&1 &&
    cmake --build "$again" -j "${ORVO_JOBS:-2}" --target OrvoComm >"$logs/repro-build.log" 2>&1
}
same_release_dll() {
  local dir=$unpacked/again plain=$unpacked/plain.dll
  mkdir -p "$dir" &&
    cp "$again/server/OrvoComm.dll" "$dir/OrvoComm-win32-full.dll" &&
    (cd "$dir" && SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct) &&
       export SOURCE_DATE_EPOCH &&
       i686-w64-mingw32-objcopy --only-keep-debug OrvoComm-win32-full.dll "OrvoComm-$version-win32.dll.debug" &&
       i686-w64-mingw32-strip --strip-all -o OrvoComm.dll OrvoComm-win32-full.dll &&
       i686-w64-mingw32-objcopy --add-gnu-debuglink="OrvoComm-$version-win32.dll.debug" OrvoComm.dll) &&
    python3 packaging/pe_align.py "$dir/OrvoComm.dll" &&
    if [ -n "${ORVO_SIGN_CA:-}" ]; then
      osslsigncode remove-signature -in "$unpacked/win32/OrvoComm.dll" -out "$plain"
    else
      cp "$unpacked/win32/OrvoComm.dll" "$plain"
    fi &&
    cmp "$plain" "$dir/OrvoComm.dll" &&
    cmp "$dir/OrvoComm-$version-win32.dll.debug" "dist/OrvoComm-$version-win32.dll.debug"
}
check "the 32-bit DLL builds a second time, in $again" rebuild
check "the second build gives the same DLL before packaging" \
  cmp "$again/server/OrvoComm.dll" "${ORVO_BUILD_PREFIX:-build/}windows/server/OrvoComm.dll"
check "the second build gives the same type library" cmp "$again/resources/OrvoComm.tlb" "$unpacked/win32/OrvoComm.tlb"
check "the second build gives the release's DLL (signature removed) and debug file" same_release_dll

# --- The registry entries of the module, as `reg query` shows them in each
# view: both classes, the class's two ProgIDs, the type library, the three
# interfaces.
keys=('HKCR\CLSID\{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}'
      'HKCR\CLSID\{CD3E96FF-112C-4A1E-BE81-38131E53DFD5}'
      'HKCR\Tamsiver.CommonInterface'
      'HKCR\Tamsiver.CommonInterface.1'
      'HKCR\TypeLib\{8F9584AF-1928-4191-91EB-0577C5CDE0FE}'
      'HKCR\Interface\{A911DD96-7FF5-49E7-ACBF-6FA606D63D77}'
      'HKCR\Interface\{4D731A17-6FA4-4A46-BD80-3BBF9A0C7549}'
      'HKCR\Interface\{3C0F6E52-81D4-4B7A-9E15-6D2AC4870B93}'
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
# The SharedDLLs counts of the module's files, in both views.
counts() {
  local view
  for view in 32 64; do
    win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' /reg:$view 2>/dev/null |
      tr -d '\r' | grep -i 'Tamsiver' | sed "s/^/view $view: /"
  done
}
# Nothing of the module is left: no entry, no file or folder, no count.
all_gone() {  # all_gone NAME
  dump "$logs/$1.txt" &&
    nothing_registered "$logs/$1.txt" &&
    test ! -e "$pf32/Tamsiver" -a ! -e "$pf64/Tamsiver" &&
    [ -z "$(counts)" ]
}

# Back to a machine without the module (a run that was stopped may have left it).
# Windows Installer products of the module that a stopped run may have left.
msi_products_remove() {
  local code
  for code in $({ win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32
                  win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64; } \
                  2>/dev/null | tr -d '\r' |
                awk '/^HKEY/ { key = $0 } /DisplayName.*OrvoComm/ { sub(/.*\\/, "", key); print key }' |
                grep '^{' | sort -u); do
    win msiexec /x "$code" /qn >/dev/null 2>&1
  done
}
clean() {
  local view key
  for view in 32 64; do
    for key in "${keys[@]}"; do win reg delete "$key" /f /reg:$view >/dev/null 2>&1; done
    for key in "C:\\Program Files (x86)" "C:\\Program Files"; do
      for f in OrvoComm.dll OrvoComm.tlb settool.exe; do
        win reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' \
          /v "$key\\Tamsiver\\OrvoComm\\$f" /f /reg:$view >/dev/null 2>&1
      done
    done
  done
  msi_products_remove
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
  win "$regsvr32_64" /s "$dll64_win" &&
    dump "$logs/regsvr32-64.txt" &&
    win "$regsvr32_64" /u /s "$dll64_win" &&
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
check "setup.exe: both DLLs, both settool.exe and the uninstaller in place" \
  test -f "$pf32/Tamsiver/OrvoComm/OrvoComm.dll" -a -f "$pf64/Tamsiver/OrvoComm/OrvoComm.dll" \
       -a -f "$pf32/Tamsiver/OrvoComm/settool.exe" -a -f "$pf64/Tamsiver/OrvoComm/settool.exe" \
       -a -f "$pf32/Tamsiver/OrvoComm/uninstall.exe"
if [ -n "${ORVO_SIGN_CA:-}" ]; then
  check "signature of the installed uninstall.exe verifies" verify "$pf32/Tamsiver/OrvoComm/uninstall.exe"
fi
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
def text(node):  # a UTF-16 text value, as dump --json writes it (typed or in hex)
    if "wstring" in node:
        return node["wstring"] + "\0"
    return bytes.fromhex(node["value_hex"]).decode("utf-16-le")
values = {c["node"]["name"]: text(c["node"]) for c in apps[0]["node"]["children"]}
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
# The example installed over itself (a new version over an older one) finds
# its program registered already and replaces the record: the value changed
# and the one added by hand are gone again.
# (The zip's settool.exe edits it as an administrator would, under the
# notifications' own lock.)
example_update() {
  local edit=$stage/OrvoComm-$version-win32/settool.exe file='C:\ProgramData\Tamsiver\InstallApp.set'
  win "$edit" set "$file" 'APP/#1/Version' --wstring 1.0 &&
    win "$edit" set "$file" 'APP/#1/AddedByHand' --wstring x &&
    [ "$(win "$edit" get "$file" 'APP/#1/AddedByHand' | tr -d '\r')" = 'wstring "x"' ] &&
    win_wait "$stage/orchard-setup.exe" /S &&
    record
}
check "after setup.exe: the example over itself brings its record up to date" example_update
# Its uninstaller (run in place, so that it can be waited for) removes the
# record and broadcasts; run again, it finds nothing to remove and succeeds.
printf '@"%s\\Orchard\\uninstall.exe" /S _?=%s\\Orchard\r\n@exit /b %%ERRORLEVEL%%\r\n' \
  "$pf32_win" "$pf32_win" >"$drive/orchard-uninstall.cmd"
example_uninstall() {
  local status
  timeout "$limit" wine "$listener" --count 1 --timeout-ms 60000 </dev/null \
    >"$logs/listener-uninstall.txt" 2>&1 &
  listener_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^ready' "$logs/listener-uninstall.txt" 2>/dev/null && break
    sleep 0.2
  done
  win cmd /c 'C:\orchard-uninstall.cmd'
  status=$?
  wait "$listener_pid" || status=1
  listener_pid=
  [ "$status" = 0 ] &&
    [ -z "$("$settool" ls "$set_file" APP)" ] &&
    win cmd /c 'C:\orchard-uninstall.cmd' &&
    test ! -e "$pf32/Orchard/orchard.exe"
}
check "after setup.exe: the example's uninstaller removes its record and broadcasts" \
  example_uninstall
rm -rf "$pf32/Orchard" "$drive/orchard-uninstall.cmd"
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
check "the settool.exe that setup.exe installed checks it" \
  win "$pf32_win\\Tamsiver\\OrvoComm\\settool.exe" check 'C:\ProgramData\Tamsiver\InstallApp.set'

# --- 4. The setup's uninstaller (run in place, so that it can be waited for).
printf '@"%s\\Tamsiver\\OrvoComm\\uninstall.exe" /S _?=%s\\Tamsiver\\OrvoComm\r\n@exit /b %%ERRORLEVEL%%\r\n' \
  "$pf32_win" "$pf32_win" >"$drive/orvo-uninstall.cmd"
uninstall_setup() {
  win cmd /c 'C:\orvo-uninstall.cmd' &&
    # Run in place, it cannot remove itself.
    rm -f "$pf32/Tamsiver/OrvoComm/uninstall.exe" &&
    { rmdir "$pf32/Tamsiver/OrvoComm" 2>/dev/null; rmdir "$pf32/Tamsiver" 2>/dev/null; true; }
}
check "the uninstaller /S exits 0" uninstall_setup
dump "$logs/setup-removed.txt"
check "after the uninstaller no entry is left" nothing_registered "$logs/setup-removed.txt"
check "after the uninstaller both DLLs are gone" \
  test ! -e "$pf32/Tamsiver/OrvoComm/OrvoComm.dll" -a ! -e "$pf64/Tamsiver/OrvoComm/OrvoComm.dll"
check "after the uninstaller no file, folder or count is left" all_gone setup-removed
clean

# --- 5. The MSI, then the MSI of the next version over it.
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }
msi_win=$(winpath "$msi")
check "msiexec /i /qn exits 0" win msiexec /i "$msi_win" /qn
dump "$logs/msi.txt"
check "MSI: the registry entries are regsvr32's for the 32-bit DLL" \
  same "$logs/regsvr32-32.txt" "$logs/msi.txt"
check "MSI: the DLL is the packaged one, settool.exe beside it" \
  eval 'cmp "$dll32" "$pf32/Tamsiver/OrvoComm/OrvoComm.dll" && test -f "$pf32/Tamsiver/OrvoComm/settool.exe"'
run_example "after the MSI"
rm -rf "$pf32/Orchard"
# The products of the module that Windows Installer lists, as "name version".
products() {
  { win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32 2>/dev/null
    win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null; } |
    tr -d '\r' | awk '/^HKEY/ { name = "" } /DisplayName/ { sub(/.*REG_SZ +/, ""); name = $0 }
                      /DisplayVersion/ && name ~ /OrvoComm/ { sub(/.*REG_SZ +/, ""); print name " " $0 }' |
    sort -u
}
msi_next_version=$(msiinfo export "$msi_next" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductVersion" { print $2 }')
check "the next version's MSI upgrades in place (msiexec /i exits 0)" win msiexec /i "$(winpath "$msi_next")" /qn
check "after the upgrade one product is listed, the next version ($msi_next_version)" \
  test "$(products)" = "OrvoComm $next $msi_next_version"
dump "$logs/msi-upgraded.txt"
check "after the upgrade the registry entries are still regsvr32's" same "$logs/regsvr32-32.txt" "$logs/msi-upgraded.txt"
check "the older MSI is refused over the newer one" eval '! win msiexec /i "$msi_win" /qn'
check "msiexec /x /qn of the next version exits 0" win msiexec /x "$(winpath "$msi_next")" /qn
dump "$logs/msi-removed.txt"
check "after msiexec /x no entry is left" nothing_registered "$logs/msi-removed.txt"
check "after msiexec /x the DLL is gone" test ! -e "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"
check "after msiexec /x no file, folder, count or product is left" \
  eval 'all_gone msi-removed && [ -z "$(products)" ]'
clean

# --- 6. The 64-bit MSI.
msi64_win=$(winpath "$msi64")
check "64-bit MSI: msiexec /i /qn exits 0" win msiexec /i "$msi64_win" /qn
dump "$logs/msi64.txt"
check "64-bit MSI: the registry entries are regsvr32's for the 64-bit DLL" \
  same "$logs/regsvr32-64.txt" "$logs/msi64.txt"
check "64-bit MSI: the 64-bit DLL and settool.exe in place" \
  eval 'cmp "$dll64" "$pf64/Tamsiver/OrvoComm/OrvoComm.dll" && test -f "$pf64/Tamsiver/OrvoComm/settool.exe"'
check "64-bit MSI: a 64-bit client creates the object and calls it by name" win "$client64"
check "64-bit MSI: msiexec /x /qn exits 0" win msiexec /x "$msi64_win" /qn
# Wine's UnregisterTypeLibraries takes away only the 32-bit form of a type
# library (it leaves a 64-bit one and its interfaces registered; Windows
# Installer removes them): here the rest must be gone.
all_gone_but_typelib() {
  all_gone "$1" || {
    awk '/^== / { skip = ($0 ~ /HKCR\\(TypeLib|Interface)\\/) } !skip' \
      "$logs/$1.txt" >"$logs/$1-classes.txt" &&
      nothing_registered "$logs/$1-classes.txt" &&
      test ! -e "$pf32/Tamsiver" -a ! -e "$pf64/Tamsiver" &&
      [ -z "$(counts)" ] &&
      echo "note: Wine left the 64-bit type library registered"
  }
}
check "after the 64-bit MSI's removal no class entry, file, folder or count is left" \
  all_gone_but_typelib msi64-removed
clean

# --- 7. setup.exe and the MSI on one machine. After one of them is removed
# the other must be exactly as it was alone, and work.
#   together FIRST SECOND: installs FIRST, then SECOND, removes FIRST.
install_setup() { win_wait "$setup" /S; }
install_msi() { win msiexec /i "$msi_win" /qn; }
remove_msi() { win msiexec /x "$msi_win" /qn; }
together() {
  local first=$1 second=$2 left expected
  if [ "$first" = setup ]; then left=msi expected=$logs/regsvr32-32.txt
  else left=setup expected=$logs/setup.txt; fi
  check "$first, then $second: both install (exit 0)" eval "install_$first && install_$second"
  check "$first, then $second: removing $first exits 0" "remove_$first"
  dump "$logs/$left-left.txt"
  if [ "$left" = setup ]; then
    check "after removing the MSI: setup.exe's entries are still regsvr32's for both DLLs" \
      same <(setup_entries "$expected") <(setup_entries "$logs/$left-left.txt")
  else
    check "after removing setup.exe: the MSI's entries are still regsvr32's for the 32-bit DLL" \
      same "$expected" "$logs/$left-left.txt"
  fi
  check "after removing $first: the $left's files are in place" \
    cmp "$dll32" "$pf32/Tamsiver/OrvoComm/OrvoComm.dll"
  rm -f "$set_file"
  run_example "$left left alone"
  rm -rf "$pf32/Orchard"
  check "removing the $left as well exits 0" "remove_$left"
  check "after both are removed nothing is left" all_gone "both-removed-$first-first"
  clean
}
remove_setup() { uninstall_setup; }
together setup msi
together msi setup
rm -f "$drive/orvo-uninstall.cmd"
rm -rf "$unpacked"

finish
