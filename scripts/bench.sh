#!/usr/bin/env bash
# The benchmark command: sets up the machine, builds the benchmark in an
# optimised native build (build/bench, Release) and runs it. It prints the
# comparison table on stdout (progress goes to stderr): the store and the
# install operations against the machine's limits and against RapidJSON and
# SQLite, with the ratios and the targets. Takes a few minutes; the generated
# workloads are kept in build/bench/work and made again only when missing.
#
# Extra arguments go to the benchmark program, for example
#   scripts/bench.sh --orvo_sizes=100,1000 --orvo_repetitions=5
#   scripts/bench.sh --benchmark_filter='load|save'
#   scripts/bench.sh --orvo_json=run.json   (every figure also as JSON; a
#                                            relative name is from where you are)
# Figures are only worth comparing on an idle machine: it prints the load
# average before and after.
set -euo pipefail

here=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh >&2
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc >/dev/null
cmake --build build/bench --target orvo_bench >&2
mkdir -p build/bench/work
cd "$here"
exec "$root/build/bench/bench/orvo_bench" --orvo_work="$root/build/bench/work" "$@"
