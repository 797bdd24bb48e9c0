#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need; does
# nothing when they are all present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6dbus6 libqt6opengl6-dev qt6-l10n-tools
  libplist-dev libplist++-dev libplist-utils
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg
  libcanberra-dev libasound2-dev nlohmann-json3-dev libdeflate-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev libpixman-1-dev
  dbus-daemon dbus fonts-wqy-microhei xauth locales lintian
  libwayland-dev wayland-protocols librust-wayland-protocols-dev qt6-wayland sway grim wl-clipboard
  clang libclang-rt-14-dev clang-format clang-tidy
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
