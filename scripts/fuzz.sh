#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang-14, installing what is missing) in build/fuzz
# and runs each for a set time. Usage: scripts/fuzz.sh [seconds per target, default 30]
# Seeds come from fuzz/corpus/<target>/; what a run learns stays in build/fuzz/corpus/<target>/.
# A crash stops the script with its input saved in build/fuzz/artifacts/; turn it into a
# regression test in tests/ before fixing it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
scripts/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p build/fuzz/artifacts
status=0
for binary in build/fuzz/fuzz/*_fuzz; do
  target=$(basename "$binary")
  corpus="build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "fuzz/corpus/$target" ]] && seeds=("fuzz/corpus/$target")
  echo "== $target, ${seconds} s" >&2
  if ! "$binary" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$corpus" "${seeds[@]}" \
    2>"build/fuzz/$target.log"; then
    echo "fuzz.sh: $target found a crash; see build/fuzz/$target.log and build/fuzz/artifacts/" >&2
    tail -n 40 "build/fuzz/$target.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE" \
      "build/fuzz/$target.log" >&2 || true
  fi
done
exit "$status"
