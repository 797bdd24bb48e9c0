#!/usr/bin/env bash
# plinthorad in a Wayland session as a user has it: a headless wlroots
# compositor (sway), screenshots taken with grim, "save to clipboard" on.
#  1. The framed screenshot is on the clipboard for any program to paste
#     (wl-paste -t image/png), though the daemon never has keyboard focus;
#     nothing is saved as a file.
#  2. The output turned a quarter (and so resized) is followed without a
#     restart: the next screenshot, of the new size, is framed too.
#     Its notification says so (seen on the bus: no server needs to run;
#     in English, as the session has no language set).
#  3. A second output: a screenshot of the whole desktop is framed.
#  4. The daemon limited to wl-copy (as on a compositor without data
#     control) puts the next one on the clipboard that way.
# sway refuses to run as root, so as root everything runs as `nobody`.
#   sway_session.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
fail() { echo "sway session: $*" >&2; [ -n "${WORK:-}" ] && tail -n 30 "$WORK"/*.log >&2 || true; exit 1; }
for tool in sway grim wl-paste wl-copy swaymsg dbus-run-session dbus-monitor; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps.sh installs it)"
done

WORK=$(mktemp -d)
SWAY_PID=
DAEMON_PID=
cleanup() {
  local rc=$?
  set +e
  # Each runs in a process group of its own (setsid): the group goes whole.
  [ -n "$DAEMON_PID" ] && kill -- "-$DAEMON_PID" 2>/dev/null && wait "$DAEMON_PID" 2>/dev/null
  [ -n "$SWAY_PID" ] && kill -- "-$SWAY_PID" 2>/dev/null && wait "$SWAY_PID" 2>/dev/null
  rm -rf "$WORK"
  exit "$rc"
}
trap cleanup EXIT

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$WORK"
  chmod 0711 "$WORK"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
HOME_DIR=$WORK/home
RUN=$WORK/run
SHOTS=$WORK/home/Shots
user_env=("${as_user[@]}" env -i PATH="$PATH" HOME="$HOME_DIR" XDG_RUNTIME_DIR="$RUN"
  XDG_CONFIG_HOME="$HOME_DIR/.config" XDG_DATA_HOME="$HOME_DIR/.local/share" WAYLAND_DISPLAY=wayland-1
  SWAYSOCK="$RUN/sway.sock" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}")
run() { "${user_env[@]}" "$@"; }
run mkdir -p "$RUN" "$SHOTS" "$HOME_DIR/Casts" "$HOME_DIR/.config/plinthora"
run chmod 0700 "$RUN"
# "save to clipboard" on, everything else as it comes.
run sh -c "cat > '$HOME_DIR/.config/plinthora/com.ozrin.plinthora.plist'" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>sr_saveToClipboard</key><true/></dict></plist>
EOF
run sh -c "printf 'output HEADLESS-1 mode 1280x720\n' > '$HOME_DIR/sway.config'"

setsid "${user_env[@]}" sway -c "$HOME_DIR/sway.config" >"$WORK/sway.log" 2>&1 &
SWAY_PID=$!
for _ in $(seq 100); do [ -S "$RUN/wayland-1" ] && break; sleep 0.1; done
[ -S "$RUN/wayland-1" ] || fail "sway did not start"
# sway listens for swaymsg at $SWAYSOCK when it is set.
for _ in $(seq 50); do [ -S "$RUN/sway.sock" ] && break; sleep 0.1; done
[ -S "$RUN/sway.sock" ] || fail "sway's IPC socket did not appear"

# start_daemon LOG [OPTION...]: the daemon on a session bus of its own, with
# the bus's notification calls written to LOG.notify.
start_daemon() {
  local log=$1; shift
  setsid "${user_env[@]}" dbus-run-session -- sh -c \
    'dbus-monitor "interface=org.freedesktop.Notifications,member=Notify" >"$0.notify" 2>&1 & exec "$@"' "$log" \
    "$BUILD/host/plinthorad" --verbose --screenshots "$SHOTS" --screencasts "$HOME_DIR/Casts" "$@" >"$log" 2>&1 &
  DAEMON_PID=$!
  for _ in $(seq 300); do grep -q "watching" "$log" && break; sleep 0.1; done
  grep -q "watching" "$log" || fail "the daemon did not start"
}
start_daemon "$WORK/daemon.log"
grep -q "the clipboard through the compositor's data control" "$WORK/daemon.log" ||
  fail "the daemon does not use the compositor's data control"

png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }
shell_size() { png_size "$(find "$HOME_DIR/Ozrin/$1" -name '*.png' | sort | head -1)"; }
# Takes a screenshot with grim and waits for a new framed PNG on the
# clipboard; prints its size. (Run in a subshell: the last paste's sum is
# kept in a file.)
shoot() {
  local name=$1
  run grim "$SHOTS/.$name" && run mv "$SHOTS/.$name" "$SHOTS/$name"
  for _ in $(seq 300); do
    if run wl-paste --list-types 2>/dev/null | grep -qx image/png; then
      run wl-paste -t image/png >"$WORK/pasted.png" 2>/dev/null || true
      sum=$(md5sum <"$WORK/pasted.png")
      if [ -s "$WORK/pasted.png" ] && [ "$sum" != "$(cat "$WORK/last-paste" 2>/dev/null)" ]; then
        echo "$sum" >"$WORK/last-paste"
        png_size "$WORK/pasted.png"
        return
      fi
    fi
    sleep 0.1
  done
  fail "no framed picture reached the clipboard for $name ($(png_size "$SHOTS/$name") pixels)"
}

# 1. A landscape screen: the landscape shell, on the clipboard.
run grim "$WORK/probe.png"
[ "$(png_size "$WORK/probe.png")" = 1280x720 ] || fail "sway's output is not 1280x720"
got=$(shoot first.png)
want=$(shell_size 横屏素材)
[ "$got" = "$want" ] || fail "the clipboard holds a ${got} PNG, not the landscape shell's ${want}"
head -c 8 "$WORK/pasted.png" | od -An -tx1 | grep -q '89 50 4e 47' || fail "the clipboard's image/png is no PNG"
[ -z "$(find "$SHOTS" -name 'Plinthora_*')" ] || fail "a file was saved though the clipboard took the picture"
grep -q "screenshot saved: $SHOTS/first.png" "$WORK/daemon.log" || fail "the log does not name the screenshot"
for _ in $(seq 50); do grep -q "Copied to the clipboard" "$WORK/daemon.log.notify" && break; sleep 0.1; done
grep -q "Copied to the clipboard" "$WORK/daemon.log.notify" || fail "no notification told that the clipboard holds the picture"

# 2. The output turned: portrait now, followed without a restart.
run swaymsg output HEADLESS-1 transform 90 >/dev/null
for _ in $(seq 100); do grep -q "the screen changed" "$WORK/daemon.log" && break; sleep 0.1; done
grep -q "the screen changed: .*720x1280 pixels" "$WORK/daemon.log" || fail "the turned output was not followed"
sleep 2  # the tweak takes one screenshot every 1.8 s at most
got=$(shoot second.png)
want=$(shell_size 套壳素材)
[ "$got" = "$want" ] || fail "after the turn the clipboard holds a ${got} PNG, not the portrait shell's ${want}"

# 3. A second output: grim takes the whole desktop.
run swaymsg create_output >/dev/null
for _ in $(seq 100); do [ "$(grep -c "the screen changed" "$WORK/daemon.log")" -ge 2 ] && break; sleep 0.1; done
sleep 2
run grim "$WORK/probe.png"
desktop=$(png_size "$WORK/probe.png")
got=$(shoot third.png)
grep -q "screenshot third.png is .*not the size of the screen" "$WORK/daemon.log" &&
  fail "the whole desktop (${desktop}) was refused"
[ -n "$got" ] || fail "the whole desktop was not framed"

# 4. Only wl-copy.
kill -- "-$DAEMON_PID" && wait "$DAEMON_PID" 2>/dev/null || true
start_daemon "$WORK/wl-copy.log" --clipboard wl-copy
grep -q "the clipboard through wl-copy" "$WORK/wl-copy.log" || fail "the daemon limited to wl-copy does not use it"
# The same desktop frames to the same picture: an empty clipboard tells the
# new one apart.
run wl-copy --clear
rm -f "$WORK/last-paste"
got=$(shoot fourth.png)
[ -n "$got" ] || fail "nothing reached the clipboard through wl-copy"
[ -z "$(find "$SHOTS" -name 'Plinthora_*')" ] || fail "a file was saved though wl-copy took the picture"
echo "sway session: clipboard, turned output, whole desktop and wl-copy OK (desktop ${desktop}, last result ${got})"
