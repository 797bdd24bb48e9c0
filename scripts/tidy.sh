#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over tweak/, imaging/, platform/, prefs/ and host/, on
# the compile commands of a configured build (default build-test). Any
# finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-test}
[ -f "$BUILD/compile_commands.json" ] || { echo "configure $BUILD first (scripts/test.sh does)" >&2; exit 2; }
# A .clang-tidy that does not parse makes clang-tidy fall back to its
# defaults without a word on stdout; refuse to run on it.
if ! err=$(clang-tidy --dump-config 2>&1 >/dev/null) || [ -n "$err" ]; then
  echo "clang-tidy: .clang-tidy does not parse: $err" >&2; exit 2
fi
mapfile -t FILES < <(git ls-files 'tweak/*.cpp' 'imaging/*.cpp' 'platform/*.cpp' 'prefs/*.cpp' 'host/*.cpp')
JOBS=${JOBS:-$(nproc)}
printf '%s\n' "${FILES[@]}" | xargs -P "$JOBS" -n 4 clang-tidy -p "$BUILD" --quiet 2>/dev/null > "$BUILD/tidy.log" || true
if grep -q 'warning:\|error:' "$BUILD/tidy.log"; then
  grep -A3 'warning:\|error:' "$BUILD/tidy.log"
  echo "clang-tidy: $(grep -c 'warning:\|error:' "$BUILD/tidy.log") findings" >&2
  exit 1
fi
echo "clang-tidy: ${#FILES[@]} files, no findings"
