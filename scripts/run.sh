#!/usr/bin/env bash
# Builds the helper and the Ostrel window (installing what is missing), starts the helper and, in
# a desktop session (DISPLAY or WAYLAND_DISPLAY set), opens the window beside it. The script
# lasts as long as the helper: Ctrl+C or SIGTERM ends the helper, and the script then closes the
# window it opened. Without a display it only starts the helper; from another terminal,
# `build/default/companion/ostrel --text` prints the page.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset default -DOSTREL_BUILD_TESTS=OFF >/dev/null
targets=(ostrel-sensor-helper)
window=false
if grep -qs '^OSTREL_BUILD_WINDOW:BOOL=ON$' build/default/CMakeCache.txt; then
  targets+=(ostrel)
  [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]] || window=true
fi
cmake --build --preset default --target "${targets[@]}" -j"$(nproc)"
$window || exec build/default/ostrel-sensor-helper

build/default/ostrel-sensor-helper &
helper=$!
trap 'kill -TERM "$helper" 2>/dev/null || true' INT TERM
build/default/companion/ostrel &
window_pid=$!
# A trapped signal interrupts `wait`; wait again until the helper has really ended.
status=0
wait "$helper" || status=$?
while kill -0 "$helper" 2>/dev/null; do
  status=0
  wait "$helper" || status=$?
done
kill -TERM "$window_pid" 2>/dev/null || true
wait "$window_pid" 2>/dev/null || true
exit "$status"
