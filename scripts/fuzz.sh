#!/usr/bin/env bash
# Runs the libFuzzer programs of fuzz/ (a clang build of their own in
# build-fuzz, beside the normal build).
#
#   scripts/fuzz.sh TARGET SECONDS   one target, e.g. scripts/fuzz.sh reg_file 600
#   scripts/fuzz.sh all SECONDS      every target, one after the other
#   scripts/fuzz.sh list             the target names
#
# Each run starts from the seed corpus in fuzz/corpus/TARGET (read only; new
# inputs go to build-fuzz/corpus/TARGET). A crash, a leak, a sanitizer report
# or a failed property stops the run with a non-zero exit; the input is kept
# in build-fuzz/artifacts/ and printed in hexadecimal.
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (targets run at
# the same time by "all", default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-1}
targets=(host_frame reg_file registry_record history_file range_match word_list
         attribute_values text_to_integer utf_text)

usage() { echo "usage: $0 TARGET|all SECONDS   (targets: ${targets[*]})" >&2; exit 2; }

[ $# -ge 1 ] || usage
if [ "$1" = list ]; then printf '%s\n' "${targets[@]}"; exit 0; fi
[ $# -eq 2 ] || usage
which=$1 seconds=$2
[[ $seconds =~ ^[0-9]+$ ]] || usage
if [ "$which" = all ]; then
  selected=("${targets[@]}")
else
  found=0
  for t in "${targets[@]}"; do [ "$t" = "$which" ] && found=1; done
  [ $found -eq 1 ] || usage
  selected=("$which")
fi

# clang and its fuzzer runtime come with the other dependencies.
if ! command -v clang++ >/dev/null ||
   [ ! -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  scripts/install-deps.sh
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCLAVORA_FUZZ=ON -DCLAVORA_TESTS=OFF -DCLAVORA_BENCH=OFF >/dev/null
fi
build_targets=()
for t in "${selected[@]}"; do build_targets+=("${t}_fuzz"); done
cmake --build "$build" --target "${build_targets[@]}"

mkdir -p "$build/artifacts" "$build/logs"
# Leak checking stays on; libFuzzer's own -detect_leaks is the default.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local t=$1 log="$build/logs/$1.log" corpus="$build/corpus/$1" rc=0
  mkdir -p "$corpus"
  rm -f "$build/artifacts/$t-"*
  "$build/bin/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$t-" \
    "$corpus" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  local execs speed
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ $rc -ne 0 ]; then
    echo "FAIL $t (exit $rc) after ${execs:-?} executions; log $log"
    grep -E 'ERROR|property failed|runtime error|SUMMARY|Test unit written' "$log" | head -20 || true
    for a in "$build/artifacts/$t-"*; do
      [ -f "$a" ] || continue
      echo "input $a ($(stat -c %s "$a") bytes), hex:"
      od -An -tx1 -v "$a" | head -64
    done
    return 1
  fi
  echo "ok   $t: ${execs:-?} executions in ${seconds} s, ${speed:-?} exec/s"
}

failed=0
if [ "$jobs" -le 1 ]; then
  for t in "${selected[@]}"; do run_one "$t" || failed=1; done
else
  for t in "${selected[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
    ( rc=0; run_one "$t" >"$build/logs/$t.summary" 2>&1 || rc=$?; echo $rc >"$build/logs/$t.rc" ) &
  done
  wait
  for t in "${selected[@]}"; do
    cat "$build/logs/$t.summary"
    [ "$(cat "$build/logs/$t.rc" 2>/dev/null)" = 0 ] || failed=1
  done
fi
exit $failed
