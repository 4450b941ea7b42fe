#!/usr/bin/env bash
# Builds the benchmarks (installing what is missing) and runs them: the micro benchmarks, then
# the load run (bench/load_run.sh), which compares the helper with node_exporter and nginx and
# writes a markdown table and a chart. Results go to build/bench-results/; nothing is committed.
# Usage: scripts/bench.sh [all|micro|load|limit|build]  (build: only build them, as CI does; the
# load run and the one-request limit run, bench/limit_run.sh and docs/performance.md, need root:
# they use namespaces and mounts)
# Environment: BENCH_SECONDS (default 10), the length of each load-run cell.
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-all}"
case "$what" in all | micro | load | limit | build) ;; *) echo "usage: $0 [all|micro|load|limit|build]" >&2; exit 2 ;; esac

scripts/deps.sh build bench
[[ "$what" == micro || "$what" == build ]] || scripts/deps.sh load
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)"
[[ "$what" != build ]] || exit 0
out=build/bench-results
mkdir -p "$out"
if [[ "$what" == limit ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "bench.sh: the limit run needs root (unshare, mount)" >&2; exit 1; }
  exec bench/limit_run.sh build/bench/ostrel-sensor-helper build/bench/bench/ostrel_limit_tool "$out"
fi

if [[ "$what" != load ]]; then
  build/bench/bench/ostrel_bench --benchmark_out="$out/micro.json" --benchmark_out_format=json
fi
if [[ "$what" != micro ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "bench.sh: the load run needs root (unshare, mount)" >&2; exit 1; }
  # A network namespace of its own: its loopback carries only this run's traffic, and port
  # 53843 there cannot meet a helper that is running on this machine.
  unshare --net --mount --propagation private bench/load_run.sh build/bench/ostrel-sensor-helper "$out"
fi
