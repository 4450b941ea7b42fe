#!/usr/bin/env bash
# Builds the helper (installing what is missing) and starts it in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset default -DOSTREL_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default --target ostrel-sensor-helper -j"$(nproc)"
exec build/default/ostrel-sensor-helper
