#!/usr/bin/env bash
# load_run.sh: the load run of scripts/bench.sh. Run it through scripts/bench.sh, which builds
# what it needs and starts it in a private network and mount namespace (so the fixed port 53843
# cannot meet another program's listener, and the fixture trees can be bound over /sys).
#
# Usage (inside the namespaces, as root): load_run.sh HELPER_BINARY RESULTS_DIR
# Environment: BENCH_SECONDS (default 10): length of each wrk run.
#
# Serves one request per connection (wrk with "Connection: close") at concurrency 1, 16 and 64
# from four servers in turn, each level in the order helper, node_exporter, helper on an empty
# tree, nginx, so that a change in the machine's load hits all four alike:
#   helper         the product binary with tests/fixtures/bench_macbookpro bound over /sys (and
#                  its cpuinfo over /proc/cpuinfo)
#   node_exporter  prometheus-node-exporter, only its hwmon, thermal_zone, rapl and
#                  powersupplyclass collectors, --path.sysfs on the same tree, its other
#                  settings left at their defaults (it answers 503 beyond 40 parallel scrapes;
#                  such answers count as errors, not as requests served)
#   helper, empty  the product binary with an empty folder bound over /sys
#   nginx          one worker process answering "{}" with keepalive off: the cost of the
#                  one-request exchange itself
# Writes RESULTS_DIR/summary.md (the table, also printed), rps.dat and rps.png (the chart), and
# each wrk report and server log.
set -euo pipefail

helper_bin=$(realpath "$1")
out=$(realpath "$2")
seconds=${BENCH_SECONDS:-10}
repo=$(cd "$(dirname "$0")/.." && pwd)
tree="$repo/tests/fixtures/bench_macbookpro"
cpuinfo="$repo/tests/fixtures/bench_macbookpro_proc/cpuinfo"
report="$repo/bench/wrk_report.lua"
levels=(1 16 64)
helper_port=53843
nginx_port=53901
exporter_port=53902

work=$(mktemp -d /tmp/ostrel-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up
mkdir -p "$work/empty-sys" "$out"

# Waits until `url` answers, at most 10 s.
wait_for() {
  for _ in $(seq 100); do
    curl -s -o /dev/null --max-time 1 "$1" && return 0
    sleep 0.1
  done
  echo "load_run.sh: nothing answers at $1" >&2
  return 1
}

kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$2/status"; }

# Starts the helper with `$1` bound over /sys, and the tree's processor (cpuinfo, which decides
# how RAPL zones count) over /proc/cpuinfo, in a mount namespace of its own, without a display
# (it then reports its start on stderr and keeps serving). Sets helper_pid.
start_helper() {
  unshare --mount --propagation private \
    sh -c 'mount --bind "$1" /sys && mount --bind "$2" /proc/cpuinfo &&
           exec env -u DISPLAY -u WAYLAND_DISPLAY "$3"' \
    sh "$1" "$cpuinfo" "$helper_bin" >>"$out/helper.log" 2>&1 &
  helper_pid=$!
  pids+=("$helper_pid")
  wait_for "http://127.0.0.1:$helper_port/"
}

stop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

start_nginx() {
  mkdir -p "$work/nginx/logs"
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type application/json; return 200 '{}'; }
  }
}
CONF
  nginx -e "$work/nginx/logs/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" \
    >>"$out/nginx.log" 2>&1 &
  nginx_pid=$!
  pids+=("$nginx_pid")
  wait_for "http://127.0.0.1:$nginx_port/"
}

start_exporter() {
  prometheus-node-exporter --collector.disable-defaults --collector.hwmon \
    --collector.thermal_zone --collector.rapl --collector.powersupplyclass \
    --path.sysfs="$tree" --web.listen-address="127.0.0.1:$exporter_port" \
    >>"$out/node_exporter.log" 2>&1 &
  exporter_pid=$!
  pids+=("$exporter_pid")
  wait_for "http://127.0.0.1:$exporter_port/metrics"
}

# CPU time (user + system, in clock ticks) used so far by the processes `$@` and their children.
cpu_ticks() {
  local total=0 pid
  for pid in "$@" $(for p in "$@"; do pgrep -P "$p" || true; done); do
    [[ -r /proc/$pid/stat ]] || continue
    total=$((total + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat")))
  done
  echo "$total"
}

# Runs wrk on `$2` at concurrency `$3` against the server processes `$4...`, saves its report as
# wrk-$1-c$3.txt and sets rps (answers with status 200 per second), p50, p99 (ms, of all
# answers), errors (socket errors and non-2xx answers) and cpu (the servers' CPU microseconds
# per answer).
run_wrk() {
  local name=$1 url=$2 c=$3 threads=$(($3 < 2 ? 1 : 2))
  shift 3
  local before
  before=$(cpu_ticks "$@")
  local file="$out/wrk-$name-c$c.txt"
  wrk -t"$threads" -c"$c" -d"${seconds}s" -H 'Connection: close' --latency -s "$report" \
    "$url" >"$file" 2>&1
  if ! grep -q '^OSTREL ' "$file"; then
    echo "load_run.sh: wrk gave no report for $name at concurrency $c:" >&2
    cat "$file" >&2
    exit 1
  fi
  read -r _ requests duration p50us p99us socket_errors non2xx < <(grep '^OSTREL ' "$file")
  errors=$((socket_errors + non2xx))
  rps=$(awk -v r="$requests" -v n="$non2xx" -v d="$duration" \
    'BEGIN { printf "%.0f", (r - n) / (d / 1e6) }')
  p50=$(awk -v u="$p50us" 'BEGIN { printf "%.2f", u / 1000 }')
  p99=$(awk -v u="$p99us" 'BEGIN { printf "%.2f", u / 1000 }')
  cpu=$(awk -v t="$(($(cpu_ticks "$@") - before))" -v hz="$(getconf CLK_TCK)" -v r="$requests" \
    -v n="$non2xx" 'BEGIN { printf "%.0f", (r - n > 0) ? t / hz * 1e6 / (r - n) : 0 }')
  echo "  $name c=$c: $rps req/s, p50 $p50 ms, p99 $p99 ms, errors $errors, CPU $cpu us/req" >&2
}

declare -A R P50 P99 ERR HWM CPU
idle_rss=0
start_nginx
start_exporter
for c in "${levels[@]}"; do
  # The helper on the realistic tree: idle RSS after one warm-up answer, peak RSS of the level.
  start_helper "$tree"
  curl -s -o /dev/null "http://127.0.0.1:$helper_port/"
  sleep 1
  rss=$(kb VmRSS "$helper_pid")
  ((rss > idle_rss)) && idle_rss=$rss
  echo 5 >"/proc/$helper_pid/clear_refs"  # resets VmHWM to the current RSS
  run_wrk helper "http://127.0.0.1:$helper_port/" "$c" "$helper_pid"
  R[helper,$c]=$rps P50[helper,$c]=$p50 P99[helper,$c]=$p99 ERR[helper,$c]=$errors CPU[helper,$c]=$cpu
  HWM[$c]=$(kb VmHWM "$helper_pid")
  stop "$helper_pid"

  run_wrk node_exporter "http://127.0.0.1:$exporter_port/metrics" "$c" "$exporter_pid"
  R[exporter,$c]=$rps P50[exporter,$c]=$p50 P99[exporter,$c]=$p99 ERR[exporter,$c]=$errors
  CPU[exporter,$c]=$cpu

  start_helper "$work/empty-sys"
  run_wrk helper-empty "http://127.0.0.1:$helper_port/" "$c" "$helper_pid"
  R[empty,$c]=$rps P50[empty,$c]=$p50 P99[empty,$c]=$p99 ERR[empty,$c]=$errors CPU[empty,$c]=$cpu
  stop "$helper_pid"

  run_wrk nginx "http://127.0.0.1:$nginx_port/" "$c" "$nginx_pid"
  R[nginx,$c]=$rps P50[nginx,$c]=$p50 P99[nginx,$c]=$p99 ERR[nginx,$c]=$errors CPU[nginx,$c]=$cpu
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v v="$1" -v op="$2" -v g="$3" \
  'BEGIN { ok = (op == ">=") ? v >= g : v < g; print ok ? "met" : "NOT met" }'; }

{
  echo "## Load run: one request per connection, ${seconds} s per cell, $(nproc) cores"
  echo
  echo "| concurrency | helper req/s | helper p50 / p99 ms | helper CPU µs/req | helper peak RSS MB | node_exporter req/s | node_exporter p50 / p99 ms | node_exporter CPU µs/req | helper ÷ node_exporter | helper, empty tree req/s (CPU µs/req) | nginx req/s (CPU µs/req) | helper, empty ÷ nginx | errors and non-2xx (h / ne / he / ng) |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for c in "${levels[@]}"; do
    echo "| $c | ${R[helper,$c]} | ${P50[helper,$c]} / ${P99[helper,$c]} | ${CPU[helper,$c]} |" \
      "$(mb "${HWM[$c]}") | ${R[exporter,$c]} | ${P50[exporter,$c]} / ${P99[exporter,$c]} |" \
      "${CPU[exporter,$c]} | $(ratio "${R[helper,$c]}" "${R[exporter,$c]}") |" \
      "${R[empty,$c]} (${CPU[empty,$c]}) | ${R[nginx,$c]} (${CPU[nginx,$c]}) |" \
      "$(ratio "${R[empty,$c]}" "${R[nginx,$c]}") |" \
      "${ERR[helper,$c]} / ${ERR[exporter,$c]} / ${ERR[empty,$c]} / ${ERR[nginx,$c]} |"
  done
  echo
  echo "Helper idle RSS: $(mb "$idle_rss") MB (the largest of the three starts, after one answer)."
  echo
  r16=$(ratio "${R[helper,16]}" "${R[exporter,16]}")
  n16=$(ratio "${R[empty,16]}" "${R[nginx,16]}")
  echo "Goals:"
  echo "- helper ≥ 40 × node_exporter at concurrency 16: ${r16}× — $(verdict "$r16" ">=" 40)"
  echo "- helper on an empty tree ≥ 0.5 × nginx at concurrency 16: ${n16}× — $(verdict "$n16" ">=" 0.5)"
  echo "- idle RSS < 8 MB: $(mb "$idle_rss") MB — $(verdict "$idle_rss" "<" 8192)"
  echo "- peak RSS at concurrency 64 < 16 MB: $(mb "${HWM[64]}") MB — $(verdict "${HWM[64]}" "<" 16384)"
} | tee "$out/summary.md"

{
  echo "# concurrency helper node_exporter helper_empty nginx"
  for c in "${levels[@]}"; do
    echo "$c ${R[helper,$c]} ${R[exporter,$c]} ${R[empty,$c]} ${R[nginx,$c]}"
  done
} >"$out/rps.dat"

gnuplot <<PLOT
set terminal png size 900,560 font ",11" noenhanced
set output "$out/rps.png"
set title "Requests per second by concurrency (one request per connection, ${seconds} s each)"
set xlabel "concurrent connections"
set ylabel "requests per second"
set logscale y
set grid ytics
set key left top
set style data linespoints
plot "$out/rps.dat" using 0:2:xtic(1) title "helper" lw 2 pt 7, \
     "" using 0:3 title "node_exporter" lw 2 pt 5, \
     "" using 0:4 title "helper, empty tree" lw 2 pt 9, \
     "" using 0:5 title "nginx {}" lw 2 pt 13
PLOT
echo
echo "Chart: $out/rps.png"
