#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz, seeds them and runs
# each for SECONDS (default 20). CI runs the short form; a longer hunt is
#   scripts/fuzz.sh 1800            # half an hour per target
#   scripts/fuzz.sh 600 image_decode
# New corpus entries stay in build-fuzz/corpus; a crash leaves its input in
# build-fuzz/findings and fails the run. Inputs that once crashed live in
# fuzz/regressions/<target> and are replayed on every run.
# FUZZ_SEED fixes libFuzzer's random seed: CI uses it, so a gate run
# explores the same inputs each time (on a slower machine, fewer of them)
# and a new finding comes from a longer hunt, not by chance in CI.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-15}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(preferences shell_template image_decode movie_open)

BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-$(nproc)}
LAUNCH=()
command -v ccache >/dev/null && LAUNCH=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPLINTHORA_FUZZ=ON -DPLINTHORA_TESTS=OFF "${LAUNCH[@]}" >/dev/null
cmake --build "$BUILD" --target plinthora_fuzzers -j "$JOBS"
bash scripts/fuzz-corpus.sh "$BUILD/corpus" >/dev/null

export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
mkdir -p "$BUILD/findings"
for t in "${TARGETS[@]}"; do
  regressions=()
  [ -d "fuzz/regressions/$t" ] && regressions=("fuzz/regressions/$t")
  start=$(date +%s)
  # -timeout: an input that takes longer than 10 s counts as a hang.
  "$BUILD/fuzz/fuzz_$t" "$BUILD/corpus/$t" "${regressions[@]}" \
    ${FUZZ_SEED:+-seed="$FUZZ_SEED"} -max_total_time="$SECONDS_EACH" -timeout=10 -max_len=16384 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$BUILD/findings/$t-" 2> "$BUILD/findings/$t.log" || {
      tail -60 "$BUILD/findings/$t.log"
      echo "fuzz_$t found a fault; its input is in $BUILD/findings" >&2
      exit 1
    }
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/findings/$t.log" | grep -o '[0-9]*$' || echo '?')
  echo "fuzz_$t: $runs runs in $(( $(date +%s) - start )) s, no findings"
done
