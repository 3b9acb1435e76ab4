#!/usr/bin/env bash
# The main job: builds settool (native preset), makes a small registration
# file of the store from a JSON description (scripts/demo/install_app.json:
# a "Root" key with an "APP" section holding one application record), checks
# the file and prints it. The file is left in build/demo/InstallApp.set.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

step() { printf '\n==> %s\n' "$*"; }
trap 'echo "demo: failed (exit status $?)" >&2' ERR

step "set-up"
bash scripts/setup.sh

step "building settool (preset native)"
cmake --preset native >build/demo-configure.log 2>&1 || {
  cat build/demo-configure.log
  exit 1
}
cmake --build build/native -j 2 --target settool

tool=$(find build/native/tools -type f -name settool -perm -u+x | head -n 1)
if [ -z "$tool" ]; then
  echo "demo: settool was not built" >&2
  exit 1
fi
input=scripts/demo/install_app.json
out=build/demo/InstallApp.set
mkdir -p "$(dirname "$out")"
rm -f "$out"

step "settool build $out < $input"
"$tool" build "$out" <"$input"
ls -l "$out"

step "settool check $out"
"$tool" check "$out"

step "settool dump $out"
"$tool" dump "$out"

printf '\ndemo: done\n'
