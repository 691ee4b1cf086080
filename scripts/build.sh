#!/usr/bin/env bash
# Configures and builds into build/, build-asan/ with --sanitize
# (AddressSanitizer + UndefinedBehaviorSanitizer) or build-tsan/ with --tsan
# (ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
targets=()
case "${1:-}" in
  --sanitize)
    dir=build-asan
    flags=(-DCMAKE_BUILD_TYPE=Debug -DCLAVORA_SANITIZE=ON -DCLAVORA_BENCH=OFF)
    ;;
  --tsan)
    dir=build-tsan
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLAVORA_TSAN=ON -DCLAVORA_BENCH=OFF)
    # Only the programs that hold the concurrency tests.
    targets=(--target server_tests filter_tests samba_tests zefa-host
             zefa-check-password zefa_host_stub_filter)
    ;;
esac
# A compiler cache, when the machine has one, shares work between checkouts.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")}
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
# The build's own output goes to standard error, so that a caller taking the
# folder name from standard output still shows why a build failed.
cmake --build "$dir" "${targets[@]}" >&2
echo "$dir"
