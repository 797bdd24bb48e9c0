#!/usr/bin/env bash
# Renders the settings page and the shell picker (over twelve generated
# images) into docs/, as the README shows them. Needs a build (BUILD_DIR,
# default build-test) and ffmpeg for the images.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build-test}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export QT_QPA_PLATFORM=offscreen PLINTHORA_DEVICE_ROOT="$WORK/device" ASAN_OPTIONS=detect_leaks=0
SHELLS="$PLINTHORA_DEVICE_ROOT/Ozrin/套壳素材"
mkdir -p "$SHELLS" docs

sources=(
  "mandelbrot=size=600x1200"
  "testsrc2=size=600x1200"
  "smptehdbars=size=600x1200"
  "gradients=size=600x1200:seed=3"
  "gradients=size=1200x600:seed=7"
  "cellauto=size=600x1200:rule=110"
  "rgbtestsrc=size=600x1200"
  "gradients=size=600x1200:seed=11"
  "life=size=600x1200:mold=10:ratio=0.3:death_color=#1c1c1e:life_color=#34c759"
  "testsrc=size=1200x600"
  "gradients=size=600x1200:seed=21"
  "mandelbrot=size=1200x600:start_scale=0.8"
)
names=("经典黑.png" "Aurora.png" "彩条.png" "晨曦.png" "横屏 Dusk.png" "Cellular.png"
       "rgb.png" "薄荷.png" "Life.PNG" "test-card.jpg" "海盐.jpeg" "深空.png")
for i in "${!sources[@]}"; do
  ffmpeg -loglevel error -y -f lavfi -i "${sources[$i]}" -frames:v 1 "$SHELLS/${names[$i]}"
done
# A chosen shell, so the page and the picker show a selection.
mkdir -p "$PLINTHORA_DEVICE_ROOT/Library/Preferences"
cat > "$PLINTHORA_DEVICE_ROOT/Library/Preferences/com.ozrin.plinthora.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>sr_selectedShell</key><string>晨曦.png</string>
  <key>sr_ssWatermarkEnabled</key><true/>
  <key>sr_watermarkOpacity</key><real>0.8</real>
</dict></plist>
PLIST
# The pictures show the texts as written; DOCS_LOCALE=en_US.UTF-8 draws the
# English page instead.
export LC_ALL=${DOCS_LOCALE:-zh_CN.UTF-8}
"$BUILD/prefs/plinthora-settings" --render docs/settings-root.png
"$BUILD/prefs/plinthora-settings" --render-picker shell docs/settings-picker.png
echo "wrote docs/settings-root.png and docs/settings-picker.png"
