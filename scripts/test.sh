#!/usr/bin/env bash
# Installs the dependencies, builds and runs every test, the directory tests
# against a real Samba AD domain controller started on loopback for the run.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/; runs the concurrency
#                               tests (CLAVORA_TSAN_TESTS, a ctest regex; "." runs all)
# CLAVORA_TEST_NO_DC=1 skips the domain controller (its tests then skip).
# CLAVORA_TEST_DC_IP (default 127.0.0.31) and CLAVORA_TEST_DC_DIR place it, so
# that several checkouts can run their tests side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=$(scripts/build.sh "$@" | tail -n 1)

if [ "${CLAVORA_TEST_NO_DC:-0}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: the domain controller needs root; run as root or set CLAVORA_TEST_NO_DC=1" >&2
    exit 1
  fi
  dc_dir=${CLAVORA_TEST_DC_DIR:-/tmp/clavora-test-dc}
  scripts/samba-dc.sh up "$dc_dir" "${CLAVORA_TEST_DC_IP:-127.0.0.31}" >/dev/null
  trap 'scripts/samba-dc.sh down "$dc_dir" >/dev/null 2>&1 || true' EXIT
  export CLAVORA_TEST_DC_DIR=$dc_dir
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
selection=()
# The store sync's test asks a loopback server for all 1,048,576 prefixes:
# the normal build runs it; under the sanitizers it would be the longest
# test by minutes, so that build leaves it out.
if [ "${1:-}" = "--sanitize" ]; then
  selection=(-E "^Zefastore\.InterruptedSyncResumesAndGivesTheSameStoreAsCreate$")
fi
if [ "${1:-}" = "--tsan" ]; then
  selection=(-R "${CLAVORA_TSAN_TESTS:-FilterStress|MaintenanceWorker|ConcurrentCalls|HostProcess|ChangeWatcher}")
fi
# A fresh build folder knows no test times, and ctest would start the
# longest tests last; scripts/ctest-costs.txt (ctest's own cost-data format,
# seconds of a normal run) lets it start them first.
mkdir -p "$dir/Testing/Temporary"
[ -f "$dir/Testing/Temporary/CTestCostData.txt" ] ||
  cp scripts/ctest-costs.txt "$dir/Testing/Temporary/CTestCostData.txt"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${selection[@]}"
