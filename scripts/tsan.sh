#!/usr/bin/env bash
# Builds the concurrency tests under ThreadSanitizer in build-tsan (only
# what they need) and runs them: the core's shared state, the imaging port,
# and a short movie through the FFmpeg export and the host's export queue.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${TSAN_BUILD_DIR:-build-tsan}
JOBS=${JOBS:-$(nproc)}
LAUNCH=()
command -v ccache >/dev/null && LAUNCH=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLINTHORA_TSAN=ON "${LAUNCH[@]}" >/dev/null
cmake --build "$BUILD" --target plinthora_concurrency_tests plinthora_export_concurrency_tests -j "$JOBS"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" --timeout 300
