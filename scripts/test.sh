#!/usr/bin/env bash
# Builds and runs the test suite (installing what is missing).
# Usage: scripts/test.sh [default|asan|tsan] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
scripts/deps.sh build test
cmake --preset "$preset" -DOSTREL_BUILD_TESTS=ON >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "build/$preset" --output-on-failure -j"$(nproc)" "$@"
