#!/usr/bin/env bash
# limit_run.sh: what one request costs the helper beside its physical limit, the way the
# Ostrel window asks: one request at a time, each over a fresh connection.
#
# Usage (as root): bench/limit_run.sh HELPER_BINARY TOOL_BINARY RESULTS_DIR [TREE...]
#   TOOL_BINARY is ostrel_limit_tool (bench/limit_tool.cc). TREE is bench_macbookpro (the
#   default, with amd_laptop) or the name of a tests/fixtures/trees/*.tree file.
# Environment: LIMIT_REQUESTS (default 5000) requests per cell, LIMIT_ROUNDS (default 3).
#
# It runs in a network and mount namespace of its own (it enters them itself), so port 53843
# cannot meet a helper running on the machine and each tree can be bound over /sys (and its
# cpuinfo, where it has one, over /proc/cpuinfo). Per tree:
#   helper  the product binary; CPU of all its threads per request
#   bare    a loop that opens, reads and closes the files one document reads, listed by
#           tracing the helper through one request (strace -y); CPU per pass. Two lists: every
#           file read ("all": names, labels, types and values) and only the files whose values
#           the document shows ("values": no name, *_label, type or scope)
#   nginx   one worker, keepalive off, answering {} ; CPU of its processes per request
# CPU is scheduler run time (user + system) in nanoseconds, so the kernel's part of opening
# files and of the TCP exchange is counted; the client's CPU is not. Each cell is run
# LIMIT_ROUNDS times, interleaved, and the minimum is kept (other work on the machine only
# ever adds). ratio = helper / (bare + nginx). Writes RESULTS_DIR/limit.md (the table, also
# printed), each tree's file lists and its document as served.
set -euo pipefail
[[ -z "${LIMIT_TRACE:-}" ]] || set -x

if [[ -z "${OSTREL_LIMIT_INSIDE:-}" ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "limit_run.sh: needs root (unshare, mount)" >&2; exit 1; }
  exec unshare --net --mount --propagation private env OSTREL_LIMIT_INSIDE=1 "$0" "$@"
fi

helper_bin=$(realpath "$1")
tool=$(realpath "$2")
mkdir -p "$3"
out=$(realpath "$3")
shift 3
trees=("$@")
((${#trees[@]} > 0)) || trees=(bench_macbookpro amd_laptop)
requests=${LIMIT_REQUESTS:-5000}
rounds=${LIMIT_ROUNDS:-3}
repo=$(cd "$(dirname "$0")/.." && pwd)
fixtures="$repo/tests/fixtures"
helper_port=53843
nginx_port=53901

work=$(mktemp -d /tmp/ostrel-limit.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  umount /proc/cpuinfo 2>/dev/null || true
  umount /sys 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up

# Waits until something answers on port `$1`, at most 10 s.
wait_port() {
  for _ in $(seq 100); do
    "$tool" ask "$1" 1 self >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "limit_run.sh: nothing answers on port $1" >&2
  return 1
}

mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
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
  >"$out/nginx.log" 2>&1 &
nginx_pid=$!
pids+=("$nginx_pid")
wait_port "$nginx_port"
nginx_pids=("$nginx_pid" $(pgrep -P "$nginx_pid"))

min() { printf '%s\n' "$@" | sort -n | head -1; }
us() { awk -v ns="$1" 'BEGIN { printf "%.1f", ns / 1000 }'; }
ratio() { awk -v h="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f", h / (b + n) }'; }

table="$out/limit.md"
{
  echo "## One request at a time: $requests requests per cell, minimum of $rounds rounds, $(nproc) cores"
  echo
  echo "CPU per request in µs (user + system). ratio = helper / (bare + nginx)."
  echo
  echo "| tree | helper | bare, all files (count) | bare, value files (count) | nginx {} | ratio, all files | ratio, value files |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
} >"$table"

for name in "${trees[@]}"; do
  if [[ -d "$fixtures/$name" ]]; then
    tree="$fixtures/$name"
  else
    tree="$work/trees/$name"
    mkdir -p "$tree"
    "$tool" render "$fixtures/trees/$name.tree" "$tree"
  fi
  cpuinfo="$fixtures/${name}_proc/cpuinfo"
  mount --bind "$tree" /sys
  [[ -f "$cpuinfo" ]] && mount --bind "$cpuinfo" /proc/cpuinfo

  env -u DISPLAY -u WAYLAND_DISPLAY "$helper_bin" >>"$out/helper.log" 2>&1 &
  helper_pid=$!
  pids+=("$helper_pid")
  wait_port "$helper_port"
  "$tool" ask "$helper_port" 50 "$helper_pid" >/dev/null  # primes power, warms the caches
  curl -s "http://127.0.0.1:$helper_port/" >"$out/$name.json"

  # The files one document reads, from a trace of one request.
  strace -f -qq -y -e trace=read,pread64 -o "$work/trace" -p "$helper_pid" &
  strace_pid=$!
  sleep 1
  "$tool" ask "$helper_port" 1 "$helper_pid" >/dev/null
  sleep 0.5
  kill "$strace_pid"
  wait "$strace_pid" 2>/dev/null || true
  grep -oE 'read(64)?\([0-9]+</[^>]*>' "$work/trace" | sed -E 's/^[^<]*<//; s/>$//' |
    grep -vE '^/(proc|dev)/' | sort -u >"$out/$name.all-files"
  grep -vE '/(name|type|scope|[^/]*_label)$' "$out/$name.all-files" >"$out/$name.value-files" ||
    true

  h=() ba=() bv=() ng=()
  for _ in $(seq "$rounds"); do
    h+=("$("$tool" ask "$helper_port" "$requests" "$helper_pid")")
    ba+=("$("$tool" bare "$requests" "$out/$name.all-files")")
    bv+=("$("$tool" bare "$requests" "$out/$name.value-files")")
    ng+=("$("$tool" ask "$nginx_port" "$requests" "${nginx_pids[@]}")")
  done
  kill "$helper_pid"
  wait "$helper_pid" 2>/dev/null || true
  [[ -f "$cpuinfo" ]] && umount /proc/cpuinfo
  umount /sys

  H=$(min "${h[@]}") BA=$(min "${ba[@]}") BV=$(min "${bv[@]}") NG=$(min "${ng[@]}")
  echo "  $name: helper ${h[*]}; bare all ${ba[*]}; bare values ${bv[*]}; nginx ${ng[*]} (ns)" >&2
  echo "| $name | $(us "$H") | $(us "$BA") ($(wc -l <"$out/$name.all-files")) |" \
    "$(us "$BV") ($(wc -l <"$out/$name.value-files")) | $(us "$NG") |" \
    "$(ratio "$H" "$BA" "$NG") | $(ratio "$H" "$BV" "$NG") |" >>"$table"
done
cat "$table"
