#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for SECONDS (default 60), starting from its seed
# corpus in fuzz/corpus/. Prints the executions of each harness and exits
# non-zero when any harness found a crash, a leak, a time-out or a broken
# invariant (the input is kept under the build tree's fuzz-findings/).
#
#   scripts/fuzz.sh [SECONDS]
#   ZORP_FUZZ_JOBS=1 scripts/fuzz.sh 300     # one harness at a time
#   ZORP_FUZZERS="fuzz_ini" scripts/fuzz.sh  # a subset
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH=${1:-60}
JOBS=${ZORP_FUZZ_JOBS:-2}
BUILD=${ZORP_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
FUZZERS=${ZORP_FUZZERS:-"fuzz_master fuzz_listen fuzz_framing fuzz_line fuzz_ini fuzz_decoding fuzz_encoding fuzz_chart fuzz_monitor fuzz_simimage fuzz_map fuzz_address fuzz_workspace"}

bash scripts/deps.sh

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORP_FUZZ=ON -DZORP_BUILD_APP=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target fuzzers

WORK="$BUILD/fuzz-work"
FINDINGS="$BUILD/fuzz-findings"
mkdir -p "$WORK" "$FINDINGS"
export ASAN_OPTIONS=${ASAN_OPTIONS:-"abort_on_error=1:detect_leaks=1"}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-"print_stacktrace=1:halt_on_error=1"}
export QT_QPA_PLATFORM=offscreen

run_one() {
  local name=$1
  local corpus="$WORK/$name"
  mkdir -p "$corpus"
  local log="$WORK/$name.log"
  local rc=0
  "$BUILD/fuzz/$name" "$corpus" "$ROOT/fuzz/corpus/$name" \
    -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$FINDINGS/$name-" >"$log" 2>&1 || rc=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$rc" -eq 0 ]; then
    echo "$name: ${runs:-?} executions in ${SECONDS_EACH} s, no finding"
  else
    echo "$name: FINDING after ${runs:-?} executions (exit $rc); log: $log"
    grep -E "ERROR|invariant broken|runtime error|Test unit written" "$log" | head -5 | sed 's/^/  /'
  fi
  return "$rc"
}

status=0
pids=()
names=()
for name in $FUZZERS; do
  run_one "$name" &
  pids+=($!)
  names+=("$name")
  if [ "${#pids[@]}" -ge "$JOBS" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit "$status"
