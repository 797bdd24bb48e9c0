#!/usr/bin/env bash
# Holds the C++ sources to .clang-format: `scripts/format.sh` rewrites them,
# `scripts/format.sh --check` (CI) fails on the first file that differs.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format: clang-format is not installed (scripts/deps.sh installs it)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files as .clang-format has them"
else
  clang-format -i "${files[@]}"
fi
