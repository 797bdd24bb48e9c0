#!/usr/bin/env bash
# Fails when a file includes what its layer must not see:
#   tweak/, imaging/,     no Qt, FFmpeg, POSIX, Linux or platform library headers, and no
#   platform/ports/       platform adapter (the core speaks through the ports)
#   tweak/                nothing of imaging/, host/, prefs/
#   imaging/              nothing of the core, host/, prefs/ (the ports'
#                         pixel types are its vocabulary)
#   platform/             nothing of the core (it is what the core runs on)
#   prefs/                nothing of the core (it edits the preferences file)
#   everything but tests/ nothing of tests/ (the benchmarks share synth/ instead)
# The build refuses the folder rules by itself: a target's include path holds
# only the headers of what it links (plinthora_headers in CMakeLists.txt), so
# the core cannot even find a platform adapter's header. What it cannot
# refuse is why this script stays: FFmpeg's, the OS's and most libraries'
# headers lie in the system's include folders, which every target sees. The
# folder rules are kept here too, as the list to read and for files a test
# build compiles into a target that links more.
# Run from anywhere; prints each offending line.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
# forbid WHAT PATTERN DIR...: every #include in DIR matching PATTERN fails.
forbid() {
  local what=$1 pattern=$2; shift 2
  local dirs=()
  for d in "$@"; do [ -d "$d" ] && dirs+=("$d"); done
  [ ${#dirs[@]} -eq 0 ] && return
  local hits
  hits=$(grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' \
    "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)" "${dirs[@]}")
  if [ -n "$hits" ]; then
    echo "layering: $what:" >&2
    echo "$hits" | sed 's/^/  /' >&2
    status=1
  fi
}

QT='Q[A-Za-z0-9]*([>/.]|$)|qt[a-z]*/'
FFMPEG='lib(avcodec|avformat|avutil|avfilter|avdevice|swscale|swresample)/'
# POSIX, Linux and platform library headers: what only an adapter may need.
OS='(unistd|fcntl|dirent|dlfcn|poll|pthread|signal|termios|syslog|pwd|grp|spawn|sched|semaphore|glob|fnmatch|libgen|strings|mqueue|aio|netdb)\.h|sys/|linux/|arpa/|netinet/|wayland-|dbus/|libnotify/|canberra|alsa/|png\.h|plist/'

forbid "Qt in the core, the pixel kernels or the ports" "$QT" tweak imaging platform/ports
forbid "FFmpeg in the core, the pixel kernels or the ports" "$FFMPEG" tweak imaging platform/ports
forbid "POSIX, Linux or platform library headers in the core, the pixel kernels or the ports" "$OS" tweak imaging platform/ports
forbid "a platform adapter in the core, the pixel kernels or the ports" 'platform/(linux|fake)/' tweak imaging platform/ports
forbid "the pixel kernels in the ports" 'imaging/' platform/ports
forbid "the pixel kernels, the host or the settings window in the core" 'imaging/|host/|prefs/' tweak
forbid "the core, the host or the settings window in the pixel kernels" \
  'host/|prefs/|tweak/|compositing/|discovery/|settings/|startup/|util/|history/' imaging
forbid "the core in the platform" 'tweak/|compositing/|discovery/|settings/SR|startup/|util/Numbers|history/' platform
forbid "the core in the settings window" 'tweak/|compositing/|discovery/|settings/SR|startup/|history/' prefs
forbid "tests in a program, a benchmark or a fuzzer" 'tests/' tweak imaging platform host prefs bench fuzz

[ $status -eq 0 ] && echo "layering: every include keeps to its layer"
exit $status
