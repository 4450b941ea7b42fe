#!/usr/bin/env bash
# Formats every C and C++ source file of the project with its .clang-format (installing
# clang-format when missing). Usage: scripts/format.sh [--check]
# --check changes nothing: it lists the files whose formatting differs and fails if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh format
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cc' '*.h' '*.c')
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.cc' -o -name '*.h' \
    -o -name '*.c' \) -print)
fi
if [[ "${1:-}" == --check ]]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
