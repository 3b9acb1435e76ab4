#!/usr/bin/env bash
# Formats the project's C and C++ sources with clang-format (.clang-format).
#
#   scripts/format.sh           formats every tracked .h, .c and .cc file in place
#   scripts/format.sh --check   changes nothing; lists the files that are not
#                               formatted and exits 1 when there are any
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.h' '*.c' '*.cc')
if [ "${1:-}" = --check ]; then
  bad=()
  for f in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
  done
  if ((${#bad[@]})); then
    echo "not formatted (run scripts/format.sh):"
    printf '  %s\n' "${bad[@]}"
    exit 1
  fi
  echo "format: ${#files[@]} files formatted"
  exit 0
fi
clang-format -i "${files[@]}"
