#!/usr/bin/env bash
# The store as an installed package: installs the build into a folder of its
# own, builds examples/reader against it with find_package(OrvoStore), makes a
# registration file with the installed settool's notify commands and checks
# the reader's output line by line.
#
#   reader_test.sh BUILD_DIR SOURCE_DIR WORK_DIR VERSION CXX
set -euo pipefail

build=$1 source=$2 work=$3 version=$4 cxx=$5
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix data=$work/data
cd "$work"

step() { echo "-- $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >install.log 2>&1 || { cat install.log; fail install; }
settool=$prefix/bin/settool
[ -x "$settool" ] || fail "no settool in $prefix/bin"
[ "$("$settool" --version)" = "settool $version" ] || fail "settool --version: $("$settool" --version)"

step "the headers under one prefix: include/orvo/..."
[ -f "$prefix/include/orvo/store/config_file.h" ] || fail "no include/orvo/store/config_file.h"
[ -f "$prefix/include/orvo/version.h" ] || fail "no include/orvo/version.h"
for bare in store platform orvo/orvo; do
  [ ! -e "$prefix/include/$bare" ] || fail "include/$bare is installed"
done
if grep -rnE '#include "(store|platform)/' "$prefix/include"; then
  fail "an installed header names another without the orvo/ prefix"
fi

step "configure and build examples/reader against the package"
cmake -S "$source/examples/reader" -B reader-build -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
  -DCMAKE_PREFIX_PATH="$prefix" >configure.log 2>&1 || { cat configure.log; fail configure; }
grep -q "OrvoStore_DIR:PATH=$prefix/lib/cmake/OrvoStore" reader-build/CMakeCache.txt ||
  fail "the package was not found in the prefix"
cmake --build reader-build >build.log 2>&1 || { cat build.log; fail build; }
reader=$work/reader-build/reader

step "no file yet: exit 1"
mkdir -p "$data"
export ORVO_COMMON_APPDATA=$data
set +e
"$reader" >missing.out 2>missing.err
rc=$?
set -e
[ $rc -eq 1 ] || fail "reader on a missing file exited $rc"
grep -q "cannot open" missing.err || fail "no message for a missing file"

step "registrations through the installed settool"
notify() {
  local want=$1
  shift
  set +e
  "$settool" "$@" >>notify.log 2>&1
  local rc=$?
  set -e
  [ $rc -eq "$want" ] || fail "settool $1 exited $rc, not $want: $(tail -n 1 notify.log)"
}
notify 0 notify-app --name "Orchard" --version "2.4.1" --install-dir 'C:\Program Files\Orchard' \
  --main-program-path 'C:\Program Files\Orchard\orchard.exe' \
  --main-icon-path 'C:\Program Files\Orchard\orchard.ico' --param "--quiet" \
  --desc "Fruit trees" --call-name "setup.exe"
notify 0 notify-app --name "Café Noir" --main-program-path 'D:\cafe\noir.exe' \
  --main-icon-path 'D:\cafe\noir.ico' --desc ""
# Control characters (here a tab and a terminal escape) are not passed to the terminal.
notify 0 notify-app --name $'Tabs\tand\e[2Jescapes' --main-program-path 'C:\t.exe' \
  --main-icon-path 'C:\t.ico'
# The same program again (letter case ignored): a duplicate, nothing written.
notify 3 notify-app --name "Other" --main-program-path 'c:\program files\ORCHARD\orchard.exe' \
  --main-icon-path x.ico
notify 0 notify-widget --name "Clock/Big" --version "3.0" --main-program-path 'C:\W\clock.exe' \
  --main-icon-path 'C:\W\clock.ico' --width 160 --height 90
notify 0 notify-widget --name "Notes" --main-program-path 'C:\W\notes.exe' \
  --main-icon-path 'C:\W\notes.ico' --width 300 --height -1 --desc "Sticky notes"
# The same widget name (case ignored) replaces the record whole.
notify 0 notify-widget --name "NOTES" --main-program-path 'C:\W\notes2.exe' \
  --main-icon-path 'C:\W\notes2.ico' --width 320 --height 200

step "the reader's output"
"$reader" >reader.out 2>reader.err || fail "reader exited $?: $(cat reader.err)"
cat >expected.out <<OUT
$data/Tamsiver/InstallApp.set
applications:
  Orchard 2.4.1
    program: C:\\Program Files\\Orchard\\orchard.exe
    icon: C:\\Program Files\\Orchard\\orchard.ico
    folder: C:\\Program Files\\Orchard
    parameters: --quiet
    description: Fruit trees
    registered by: setup.exe
  Café Noir
    program: D:\\cafe\\noir.exe
    icon: D:\\cafe\\noir.ico
  Tabs�and�[2Jescapes
    program: C:\\t.exe
    icon: C:\\t.ico
widgets:
  Clock/Big 3.0 (160 x 90)
    program: C:\\W\\clock.exe
    icon: C:\\W\\clock.ico
  NOTES (320 x 200)
    program: C:\\W\\notes2.exe
    icon: C:\\W\\notes2.ico
OUT
diff -u expected.out reader.out || fail "the reader's output differs (above)"
[ ! -s reader.err ] || fail "the reader wrote to stderr: $(cat reader.err)"

step "an explicit FILE argument reads the same"
"$reader" "$data/Tamsiver/InstallApp.set" >reader2.out || fail "reader FILE exited $?"
diff -u reader.out reader2.out || fail "reader FILE differs"
step "a damaged file: what can be read, a warning, exit 1"
cp "$data/Tamsiver/InstallApp.set" damaged.set
body=$(od -An -tu4 -j20 -N4 damaged.set | tr -d ' ')
# The last byte of the body, past every application record: the checksum
# no longer matches.
printf '\x7f' | dd of=damaged.set bs=1 seek=$((512 + body - 1)) conv=notrunc status=none
set +e
"$reader" damaged.set >damaged.out 2>damaged.err
rc=$?
set -e
[ $rc -eq 1 ] || fail "reader on a damaged file exited $rc"
grep -q "warning: the file is damaged (the body checksum does not match the header); shown are" \
  damaged.err || fail "no warning for a damaged file: $(cat damaged.err)"
grep -q "Orchard 2.4.1" damaged.out || fail "nothing shown of the damaged file"

step "a foreign file: nothing shown, a warning, exit 1"
head -c 2000 /dev/zero | tr '\0' 'z' >foreign.set
set +e
"$reader" foreign.set >foreign.out 2>foreign.err
rc=$?
set -e
[ $rc -eq 1 ] || fail "reader on a foreign file exited $rc"
grep -q "warning: nothing this reader can read" foreign.err ||
  fail "no warning for a foreign file: $(cat foreign.err)"
echo "reader test passed"
