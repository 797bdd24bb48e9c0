#!/usr/bin/env bash
# Load: SHOTS screenshots (default 200) dropped into the folder over SECONDS
# (default 10) while plinthorad runs with "delete original" on, on a private
# session bus. `plinthora doctor` is run again and again during the burst
# and timed. Reports: screenshots framed, originals kept, originals in the
# Trash, originals lost (deleted without a result, must be 0), the daemon's
# peak RSS and the slowest doctor answer.
# With CASTS=N it drops N short screencasts instead, one after another (each
# once the capture of the one before has ended), and reports the same for
# them: framed, kept, in the Trash, lost, results framed again, peak RSS.
#   bench/load.sh                      # build-test binaries
#   BUILD_DIR=build-release SHOTS=200 SECONDS_TOTAL=10 bench/load.sh
#   BUILD_DIR=build-release CASTS=20 bench/load.sh
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${BUILD_DIR:-$SRC/build-test}" && pwd)
SHOTS=${SHOTS:-200}
SPAN=${SECONDS_TOTAL:-10}
CASTS=${CASTS:-0}
W=$(mktemp -d)
trap 'kill $DAEMON $BUS 2>/dev/null || true; rm -rf "$W"' EXIT
export HOME=$W XDG_CONFIG_HOME=$W/.config XDG_DATA_HOME=$W/data XDG_RUNTIME_DIR=$W/run QT_QPA_PLATFORM=offscreen
export PLINTHORA_DEVICE_ROOT=$W/device ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
mkdir -m 700 -p "$XDG_RUNTIME_DIR" "$W/shots" "$W/casts" "$PLINTHORA_DEVICE_ROOT/Library/Preferences"

dbus-daemon --session --nofork --print-address=1 > "$W/bus.addr" & BUS=$!
for _ in $(seq 100); do [ -s "$W/bus.addr" ] && break; sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$W/bus.addr")

cat > "$PLINTHORA_DEVICE_ROOT/Library/Preferences/com.ozrin.plinthora.plist" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>sr_deleteOriginal</key><true/></dict></plist>
XML
ffmpeg -v error -f lavfi -i "testsrc=s=1170x2532" -frames:v 1 "$W/source.png"

"$BUILD/host/plinthorad" --screenshots "$W/shots" --screencasts "$W/casts" --screen 390x844@3 2> "$W/daemon.log" &
DAEMON=$!
for _ in $(seq 600); do
  "$BUILD/host/plinthora" doctor --screenshots "$W/shots" --screencasts "$W/casts" 2>/dev/null | grep -q "plinthorad is running" && break
  sleep 0.1
done

status() {
  dbus-send --session --print-reply=literal --dest=com.ozrin.plinthora.Daemon /com/ozrin/plinthora/Daemon \
    com.ozrin.plinthora.Daemon.Status 2>/dev/null || true
}
wait_for() {  # status line, seconds
  for _ in $(seq $(( $2 * 10 ))); do
    status | grep -qx "\s*$1" && return 0
    kill -0 $DAEMON 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

if [ "$CASTS" -gt 0 ]; then
  ffmpeg -v error -f lavfi -i "testsrc2=s=360x780:r=24:d=1" -c:v libx264 -pix_fmt yuv420p "$W/source.mp4"
  start=$(date +%s%N)
  for i in $(seq -w 1 "$CASTS"); do
    cp "$W/source.mp4" "$W/casts/cast $i.mp4"
    wait_for "captured: no" 30 || echo "load: capture did not end after cast $i"
  done
  # Done when no export has run for longer than a discovery and its retry
  # take to start one.
  quiet=0
  while [ "$quiet" -lt 50 ] && kill -0 $DAEMON 2>/dev/null; do
    if status | grep -qx "\s*exports in flight: 0"; then quiet=$((quiet + 1)); else quiet=0; fi
    sleep 0.1
  done
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  peak=$(awk '/VmHWM/ {print int($2/1024)}' "/proc/$DAEMON/status" 2>/dev/null || echo "?")
  kill -0 $DAEMON 2>/dev/null && alive=yes || { alive=no; tail -5 "$W/daemon.log"; }
  framed=0; kept=0; trashed=0; lost=0; whole=0
  for f in "$W"/casts/Plinthora_*.mp4; do
    [ -f "$f" ] || continue
    framed=$((framed + 1))
    ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$f" | grep -q h264 && whole=$((whole + 1))
  done
  for i in $(seq -w 1 "$CASTS"); do
    n="cast $i.mp4"
    if [ -f "$W/casts/$n" ]; then
      cmp -s "$W/casts/$n" "$W/source.mp4" && kept=$((kept + 1)) || lost=$((lost + 1))
    elif [ -f "$W/data/Trash/files/$n" ]; then trashed=$((trashed + 1))
    else lost=$((lost + 1)); fi
  done
  [ "$trashed" -gt "$framed" ] && lost=$((lost + trashed - framed))
  again=$(find "$W/data/Trash/files" -maxdepth 1 -name 'Plinthora_*' 2>/dev/null | wc -l)
  partial=$(find "$W/casts" -maxdepth 1 -name '.*' -type f | wc -l)
  echo "load: $CASTS screencasts in $((took / 1000)).$(( (took % 1000) / 100 )) s: framed $framed (whole movies $whole), kept $kept, in the Trash $trashed, lost $lost, results framed again $again, partial files $partial"
  echo "load: daemon running afterwards: $alive; peak RSS ${peak} MB"
  [ "$lost" -eq 0 ] && [ "$again" -eq 0 ] && [ "$partial" -eq 0 ] && [ "$whole" -eq "$framed" ] && [ "$alive" = yes ]
  exit
fi

# The burst: one copy per slot, doctor timed in the gaps.
slowest=0
start=$(date +%s%N)
for i in $(seq -w 1 "$SHOTS"); do
  cp "$W/source.png" "$W/shots/burst $i.png"
  due=$(( start + SPAN * 1000000000 * 10#$i / SHOTS ))
  while [ "$(date +%s%N)" -lt "$due" ]; do
    t0=$(date +%s%N)
    "$BUILD/host/plinthora" doctor --screenshots "$W/shots" --screencasts "$W/casts" > /dev/null 2>&1 || true
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    [ "$ms" -gt "$slowest" ] && slowest=$ms
  done
done
burst_ms=$(( ($(date +%s%N) - start) / 1000000 ))
sleep 8  # the last trigger (2.5 s), a retry (1.5 s) and the save
peak=$(awk '/VmHWM/ {print int($2/1024)}' "/proc/$DAEMON/status")
kill -0 $DAEMON 2>/dev/null && alive=yes || alive=no

framed=0; kept=0; trashed=0; lost=0
for f in "$W"/shots/*.png; do case "$(basename "$f")" in burst\ *) ;; *) framed=$((framed + 1));; esac; done
for i in $(seq -w 1 "$SHOTS"); do
  n="burst $i.png"
  if [ -f "$W/shots/$n" ]; then
    cmp -s "$W/shots/$n" "$W/source.png" && kept=$((kept + 1)) || lost=$((lost + 1))
  elif [ -f "$W/data/Trash/files/$n" ]; then trashed=$((trashed + 1))
  else lost=$((lost + 1)); fi
done
[ "$trashed" -gt "$framed" ] && lost=$((lost + trashed - framed))
echo "load: $SHOTS screenshots in $((burst_ms / 1000)).$(( (burst_ms % 1000) / 100 )) s: framed $framed, kept $kept, in the Trash $trashed, lost $lost"
echo "load: daemon running after the burst: $alive; peak RSS ${peak} MB; slowest \`plinthora doctor\` ${slowest} ms"
[ "$lost" -eq 0 ] && [ "$alive" = yes ]
