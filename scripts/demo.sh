#!/usr/bin/env bash
# Installs what is missing, builds, and shows the main job: a screenshot
# dropped into a screenshot folder comes out dressed in a device frame.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLINTHORA_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

# Without a display, Qt draws offscreen.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
# A headless login has no runtime folder; Qt wants one.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d /tmp/plinthora-runtime.XXXXXX); export XDG_RUNTIME_DIR
fi

if [ -x "$BUILD/host/plinthorad" ]; then
  # The real daemon on a temporary library; it prints the framed result.
  if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    exec dbus-run-session -- "$BUILD/host/plinthorad" --demo
  fi
  exec "$BUILD/host/plinthorad" --demo
fi

OUT=$(mktemp -d /tmp/plinthora-demo.XXXXXX)
"$BUILD/host/plinthora" samples "$OUT" >/dev/null
"$BUILD/host/plinthora" frame "$OUT/screenshot.png" --shell "$OUT/shell.png" --watermark "$OUT/watermark.png" \
  --opacity 0.8 -o "$OUT/framed.png" 2>/dev/null
echo "Framed screenshot: $OUT/framed.png"
