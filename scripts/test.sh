#!/usr/bin/env bash
# Installs what is missing, builds shardex and runs its test suite.
#   scripts/test.sh             build/ , the normal build, every tier
#   scripts/test.sh --quick     build/ , the unit and broker tiers only (no cluster, no system tests)
#   scripts/test.sh --sanitize  build-asan/ , AddressSanitizer + UndefinedBehaviorSanitizer
# Tests that need a broker start their own RabbitMQ on loopback (tests/broker/).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
tiers=()
# Warnings are errors; the benchmarks are built (not run) so they keep compiling.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHARDEX_BUILD_BENCH=ON -DSHARDEX_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DSHARDEX_SANITIZE=ON -DSHARDEX_WERROR=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "${1:-}" = "--quick" ]; then
  tiers=(-L '^(unit|broker)$')
fi

scripts/install-deps.sh
cmake -S . -B "$build" "${flags[@]}"
cmake --build "$build" -j "$(nproc)"
cd "$build"
# Most broker tests wait on the broker, not the CPU: run more of them than there are cores.
ctest --output-on-failure --timeout 600 -j "$(( $(nproc) * 2 ))" "${tiers[@]}"
