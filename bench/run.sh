#!/bin/sh
# Builds the benchmarks in Release (build-bench/ beside the source tree, or
# $BUILD_DIR) and runs the comparisons: the compose step against pixman,
# our pipeline in-process against ImageMagick, the whole `plinthora frame`
# process (one still, and a batch in one call) against OpenCV as a Python
# script uses it, ImageMagick and the vips command line, and the framing of
# a recording against the ffmpeg command line and against the floor (the
# encoder alone on the very frames our export hands it, plus a decode of the
# source: bench_video_floor).
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/../build-bench}
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLINTHORA_BENCH=ON -DPLINTHORA_TESTS=OFF >/dev/null
ninja -C "$BUILD" -j2 bench_imaging_compose bench_imaging_end_to_end bench_video_framing bench_video_floor bench_shell plinthora
# The reference tools are used here only; they are Debian packages. OpenCV
# is Debian's, for Debian's own python3.
if [ ! -x /usr/bin/convert ] || ! command -v vips >/dev/null || ! /usr/bin/python3 -c 'import cv2' 2>/dev/null; then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get install -y --no-install-recommends imagemagick libvips-tools python3 python3-opencv
fi
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
echo "== shells: finding a 3000 x 3000 frame's screen, keeping a still inside the device"
"$BUILD/bench/bench_shell"
echo "== compose step: ours vs pixman"
"$BUILD/bench/bench_imaging_compose"
echo "== end to end: ours vs ImageMagick"
"$BUILD/bench/bench_imaging_end_to_end" "${TMPDIR:-/tmp}/plinthora-bench" "${RUNS:-5}"
echo "== whole process: plinthora frame vs OpenCV vs ImageMagick vs the vips command line"
python3 "$SRC/bench/frame_compare.py" "$BUILD/host/plinthora" "${TMPDIR:-/tmp}/plinthora-frame-compare" "${RUNS:-5}" \
  "${TMPDIR:-/tmp}/plinthora-bench"
echo "== framing a recording: ours vs the ffmpeg command line and the floor"
"$BUILD/bench/bench_video_framing" "${TMPDIR:-/tmp}/plinthora-bench-video" --runs "${VIDEO_RUNS:-5}"
