#!/usr/bin/env bash
# The project's test command: sets up the machine, builds every preset and
# runs everything there is to run.
#
#   native, asan   all unit tests (CTest)
#   tsan           the tests labelled "threads" (the only ones that preset builds)
#   windows        all unit tests as 32-bit Windows programs under Wine (CTest)
#   windows64      all unit tests as 64-bit Windows programs under a 64-bit
#                  Wine prefix (CTest)
#   fuzz           every *_fuzzer program for a bounded time, starting from a
#                  copy of its seed corpus fuzz/corpus/<name>/
#   installers     scripts/package.sh (one test), signing with a throw-away
#                  certificate, then the release's checks and its installers
#                  run silently under Wine (tests/installers/installers_test.sh,
#                  one test per check)
#
# First, before any preset, the style check scripts/format.sh --check (one test).
# It goes on after a failed stage and ends with one line "N passed, N failed":
# passed counts CTest tests and fuzz runs that passed; failed counts those
# that failed plus every set-up, configure or build step that failed. The exit
# status is 0 only when nothing failed. Full logs are kept in build/logs/.
#
# Knobs (environment): ORVO_PRESETS (default "native asan tsan windows windows64
# fuzz installers"),
# ORVO_FUZZ_SECONDS (default 30 per fuzzer), ORVO_JOBS (default 2),
# ORVO_BUILD_PREFIX (default "build/": build dirs are <prefix><preset>).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

read -r -a presets <<<"${ORVO_PRESETS:-native asan tsan windows windows64 fuzz installers}"
fuzz_seconds=${ORVO_FUZZ_SECONDS:-30}
jobs=${ORVO_JOBS:-2}
build_prefix=${ORVO_BUILD_PREFIX:-build/}
logs=$root/build/logs
mkdir -p "$logs"

export CTEST_OUTPUT_ON_FAILURE=1 GTEST_COLOR=no

passed=0
failed=0
failures=()
started=$SECONDS

say() {
  local t=$((SECONDS - started))
  printf '==> [%02d:%02d] %s\n' $((t / 60)) $((t % 60)) "$*"
}
fail() {
  failed=$((failed + 1))
  failures+=("$1")
  say "FAILED: $1"
}

# --- Wine: one persistent server with its services for the whole Windows run.
wine_ours=0
start_wine() {  # start_wine PREFIX ARCH
  export WINEPREFIX="$1" WINEARCH="$2" WINEDEBUG=-all
  # Exit status 0: a new server is ours; otherwise one is already running.
  if wineserver -p </dev/null >/dev/null 2>&1; then
    wine_ours=1
  fi
  # Start the services now, so that no test's output is inherited by them.
  timeout 120 wine wineboot </dev/null >/dev/null 2>&1 || true
  export ORVO_WINE_WARM=1
}
stop_wine() {
  if ((wine_ours)); then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wine_ours=0
  fi
  unset ORVO_WINE_WARM
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

# --- Configure and build one preset; returns non-zero when it cannot be tested.
build_preset() {
  local p=$1 dir=$2
  say "$p: configure ($dir)"
  if ! cmake --preset "$p" -B "$dir" >"$logs/$p-configure.log" 2>&1; then
    tail -n 30 "$logs/$p-configure.log"
    fail "$p: configure (log: build/logs/$p-configure.log)"
    return 1
  fi
  say "$p: build"
  # Ninja's progress lines are thinned out; errors are shown in full.
  cmake --build "$dir" -j "$jobs" -- -k 0 2>&1 | tee "$logs/$p-build.log" |
    awk '/^\[[0-9]+\/[0-9]+\] / { split(substr($1, 2, length($1) - 2), a, "/");
                                  if (a[1] % 25 && a[1] != a[2]) next }
         { print; fflush() }'
  if ((PIPESTATUS[0])); then
    fail "$p: build (log: build/logs/$p-build.log)"
  fi
  return 0
}

# --- Run one build's CTest tests and count them.
run_ctest() {
  local p=$1 dir=$2
  local -a filter=()
  if [ "$p" = tsan ]; then
    filter=(-L threads)
  fi
  say "$p: tests ${filter[*]}"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 "${filter[@]}" 2>&1 |
    tee "$logs/$p-ctest.log"
  local rc=${PIPESTATUS[0]}
  local counts
  counts=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' \
             "$logs/$p-ctest.log" | tail -n 1)
  if [ -n "$counts" ]; then
    local f=${counts% *} n=${counts#* }
    passed=$((passed + n - f))
    if ((f)); then
      failed=$((failed + f))
      failures+=("$p: $f of $n tests")
    elif ((rc)); then
      fail "$p: ctest exited with status $rc"
    fi
  elif grep -q 'No tests were found' "$logs/$p-ctest.log"; then
    say "$p: no tests registered"
  else
    fail "$p: ctest did not finish (log: build/logs/$p-ctest.log)"
  fi
}

# --- Run one fuzzer from a copy of its seed corpus; writes "pass" or a reason.
fuzz_one() {
  local exe=$1 result=$2
  local name corpus work artifacts
  name=$(basename "$exe")
  corpus=$root/fuzz/corpus/$name
  artifacts=$root/build/logs/fuzz-artifacts/$name
  work=$(mktemp -d)
  mkdir -p "$artifacts"
  if [ -d "$corpus" ]; then
    cp -R "$corpus/." "$work/"
  fi
  "$exe" -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" \
    </dev/null >"$logs/fuzz-$name.log" 2>&1
  local rc=$?
  rm -rf "$work"
  if ((rc)); then
    echo "$name: exit status $rc (log: build/logs/fuzz-$name.log, inputs: build/logs/fuzz-artifacts/$name/)" >"$result"
  elif [ ! -d "$corpus" ]; then
    echo "$name: no seed corpus in fuzz/corpus/$name/" >"$result"
  else
    echo pass >"$result"
  fi
}

run_fuzzers() {
  local dir=$1
  local -a fuzzers
  mapfile -t fuzzers < <(find "$dir" -type f -name '*_fuzzer' -perm -u+x \
                           -not -path '*/CMakeFiles/*' | sort)
  if ((${#fuzzers[@]} == 0)); then
    say "fuzz: no fuzzers built"
    return
  fi
  say "fuzz: ${#fuzzers[@]} fuzzers, ${fuzz_seconds}s each, $jobs at a time"
  local results
  results=$(mktemp -d)
  local exe running=0
  for exe in "${fuzzers[@]}"; do
    if ((running >= jobs)); then
      wait -n
      running=$((running - 1))
    fi
    running=$((running + 1))
    say "fuzz: $(basename "$exe")"
    fuzz_one "$exe" "$results/$(basename "$exe")" &
  done
  wait
  for exe in "${fuzzers[@]}"; do
    local name line
    name=$(basename "$exe")
    line=$(cat "$results/$name" 2>/dev/null || echo "$name: no result")
    if [ "$line" = pass ]; then
      passed=$((passed + 1))
      say "fuzz: $name passed ($(grep -Eo '^Done [0-9]+ runs' "$logs/fuzz-$name.log" | cut -d' ' -f2) runs)"
    else
      tail -n 40 "$logs/fuzz-$name.log" 2>/dev/null
      fail "fuzz: $line"
    fi
  done
  rm -rf "$results"
}

# --- The release and its installers under Wine (bounded: every Windows
# program has a time limit, the whole stage at most 15 minutes).
run_installers() {
  say "installers: a throw-away code-signing certificate"
  # The release is signed with it, and the installer tests check every
  # signature against it (build/package-cert/: the key, cert.pem, cert.pfx).
  local cert=$root/build/package-cert
  rm -rf "$cert"
  mkdir -p "$cert"
  if ! { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$cert/key.pem" \
           -out "$cert/cert.pem" -subj "/CN=OrvoComm test signing (throw-away)" \
           -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
           -addext "extendedKeyUsage=codeSigning" &&
         openssl pkcs12 -export -inkey "$cert/key.pem" -in "$cert/cert.pem" -out "$cert/cert.pfx" \
           -passout pass:throw-away; } >"$logs/package-cert.log" 2>&1; then
    fail "installers: the signing certificate (log: build/logs/package-cert.log)"
    return
  fi
  say "installers: scripts/package.sh"
  # From this run's own builds: the same compiler flags as the release presets.
  if ORVO_PACKAGE_PRESETS="native windows windows64" ORVO_BUILD_PREFIX=$build_prefix \
       ORVO_SIGN_PFX=$cert/cert.pfx ORVO_SIGN_PASSWORD=throw-away \
       timeout 900 bash scripts/package.sh >"$logs/package.log" 2>&1; then
    passed=$((passed + 1))
  else
    tail -n 30 "$logs/package.log"
    fail "installers: scripts/package.sh (log: build/logs/package.log)"
    return
  fi
  say "installers: silent runs under Wine"
  ORVO_SIGN_CA=$cert/cert.pem ORVO_BUILD_PREFIX=$build_prefix \
    timeout 600 bash tests/installers/installers_test.sh 2>&1 | tee "$logs/installers.log"
  local counts
  counts=$(sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\1 \2/p' "$logs/installers.log" | tail -n 1)
  if [ -z "$counts" ]; then
    fail "installers: the test did not finish (log: build/logs/installers.log)"
    return
  fi
  passed=$((passed + ${counts% *}))
  if ((${counts#* })); then
    failed=$((failed + ${counts#* }))
    failures+=("installers: ${counts#* } checks (log: build/logs/installers/)")
  fi
}

# --- The run.
say "setup"
if ! bash scripts/setup.sh; then
  fail "setup"
fi

# The code style: every C and C++ source as clang-format leaves it.
say "format"
if bash scripts/format.sh --check >"$logs/format.log" 2>&1; then
  passed=$((passed + 1))
else
  cat "$logs/format.log"
  fail "format (scripts/format.sh --check)"
fi

for p in "${presets[@]}"; do
  dir=$build_prefix$p
  stage_start=$SECONDS
  if [ "$p" = installers ]; then
    run_installers
  elif build_preset "$p" "$dir"; then
    case $p in
      fuzz) run_fuzzers "$dir" ;;
      windows)
        start_wine "$root/build/wineprefix" win32
        run_ctest "$p" "$dir"
        stop_wine
        ;;
      windows64)
        start_wine "$root/build/wineprefix64" win64
        run_ctest "$p" "$dir"
        stop_wine
        ;;
      *) run_ctest "$p" "$dir" ;;
    esac
  fi
  say "$p: done in $((SECONDS - stage_start))s"
done

stop_wine
say "finished in $((SECONDS - started))s"
if ((${#failures[@]})); then
  echo "Failures:"
  printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed"
((failed == 0))
