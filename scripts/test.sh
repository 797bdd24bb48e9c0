#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on a private
# D-Bus session bus and Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

BUILD=${BUILD_DIR:-build-test}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPLINTHORA_SANITIZE=ON
cmake --build "$BUILD" -j "$JOBS"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Keep the tests away from the user's own folders and sound server.
TEST_HOME=$(mktemp -d)
trap 'rm -rf "$TEST_HOME"' EXIT
export HOME="$TEST_HOME" XDG_CONFIG_HOME="$TEST_HOME/.config" XDG_DATA_HOME="$TEST_HOME/.local/share"
export XDG_RUNTIME_DIR="$TEST_HOME/run"; mkdir -m 0700 -p "$XDG_RUNTIME_DIR"

dbus-run-session -- ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" --timeout 300
