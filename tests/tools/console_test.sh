#!/usr/bin/env bash
# settool.exe's output under Wine: to a console (Wine gives one to a program
# run under a pseudo-terminal, here made by script) the text must come out
# as written, non-ASCII names included; to a pipe, as the same UTF-8 bytes.
#   console_test.sh SETTOOL_EXE
set -u
exe=$1
run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
status=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    printf 'expected:\n%s\nfound:\n%s\n' "$2" "$3" | od -c | head -n 40
    status=1
  fi
}
# The terminal Wine drives: cursor moves right (ESC [ n C) stand for spaces;
# every other control sequence and the carriage returns are dropped.
plain() {
  perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\][^\a]*\a//g; s/\e\[[0-9;?]*[A-Za-z]//g; s/\r//g'
}

printf '%s' '{"name": "Root", "children": [{"node": {"name": "中 x é", "wstring": "€ ü"}}]}' >t.json
"$run" "$exe" build t.set <t.json || { echo "FAILED: build"; exit 1; }
expected='"Root" none
  "中 x é" wstring "€ ü"
settool: get: t.set: 中 y: no such key'

piped=$({ "$run" "$exe" dump t.set; "$run" "$exe" get t.set '中 y' 2>&1; } </dev/null | tr -d '\r')
check "to a pipe: UTF-8 bytes" "$expected" "$piped"

console=$(LC_ALL=C.UTF-8 script -qec "'$run' '$exe' dump t.set; '$run' '$exe' get t.set '中 y'" \
            /dev/null </dev/null | plain)
check "to a console: the same text" "$expected" "$console"
exit $status
