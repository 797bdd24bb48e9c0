#!/bin/sh
# Builds the benchmarks in Release (build-bench/ beside the source tree, or
# $BUILD_DIR) and runs the imaging and video comparisons.
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/../build-bench}
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLINTHORA_BENCH=ON -DPLINTHORA_TESTS=OFF >/dev/null
ninja -C "$BUILD" -j2 bench_imaging_compose bench_imaging_end_to_end bench_video_framing
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
echo "== compose step: ours vs pixman"
"$BUILD/bench/bench_imaging_compose"
echo "== end to end: ours vs ImageMagick"
"$BUILD/bench/bench_imaging_end_to_end" "${TMPDIR:-/tmp}/plinthora-bench" "${RUNS:-5}"
echo "== framing a recording: ours vs the ffmpeg command line"
"$BUILD/bench/bench_video_framing" "${TMPDIR:-/tmp}/plinthora-bench-video" --runs "${VIDEO_RUNS:-3}"
