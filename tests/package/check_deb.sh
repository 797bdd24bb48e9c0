#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it and checks what
# an installed system would get: the programs, the tweak where the daemon
# looks for it, a user unit that starts the packaged daemon, an autostart
# entry for sessions without it, the bus interface, desktop entries that
# start packaged programs, the samples, the documents, dependencies computed
# from the binaries and those the programs open by name (Qt's Wayland
# plugin, the fonts, the clipboard tool), and lintian's verdict.
#   check_deb.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 || {
  cat "$WORK/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$WORK"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
DEB=${debs[0]}
ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"

[ "$(dpkg-deb -f "$DEB" Package)" = plinthora ] || fail "package name"
depends=$(dpkg-deb -f "$DEB" Depends)
names=" $(echo "$depends" | sed 's/ *([^)]*)//g; s/,/ /g') "
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6dbus6 libplist3 libdeflate0; do
  [[ "$names" == *" $lib "* ]] || fail "Depends lacks $lib: $depends"
done

# What the programs open by name, which no binary tells dpkg-shlibdeps.
field() { dpkg-deb -f "$DEB" "$1" | tr -s ' \n' ' '; }
has() {  # FIELD ALTERNATIVES: one comma-separated entry is exactly that
  local entries; entries=$(field "$1" | sed 's/ *([^)]*)//g; s/ *, */\n/g' | sed 's/^ *//; s/ *$//')
  grep -qxF "$2" <<<"$entries" || fail "$1 lacks '$2': $(field "$1")"
}
has Depends "qt6-wayland"
has Recommends "fonts-wqy-microhei | fonts-noto-cjk"
has Recommends "fonts-noto-color-emoji"
has Suggests "wl-clipboard"

doc=$ROOT/usr/share/doc/plinthora
grep -q '^Copyright: ' "$doc/copyright" 2>/dev/null || fail "no copyright file in usr/share/doc/plinthora"
[ -s "$doc/README.md" ] || fail "no README in usr/share/doc/plinthora"
gzip -t "$doc/changelog.gz" 2>/dev/null || fail "no changelog.gz in usr/share/doc/plinthora"

# Sessions that never reach graphical-session.target start the daemon from
# the autostart folder, as a conffile the user may change.
autostart=$ROOT/etc/xdg/autostart/plinthorad.desktop
[ -f "$autostart" ] || fail "no etc/xdg/autostart/plinthorad.desktop"
grep -qx 'Exec=plinthorad --autostart' "$autostart" || fail "the autostart entry: $(grep Exec "$autostart")"
dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/xdg/autostart/plinthorad.desktop ||
  fail "the autostart entry is not a conffile"
# The systemd unit started second leaves the session to the first.
grep -qx 'RestartPreventExitStatus=3' "$ROOT/usr/lib/systemd/user/plinthorad.service" ||
  fail "the unit would restart a daemon that found another one running"

for prog in plinthorad plinthora; do
  [ -x "$ROOT/usr/bin/$prog" ] || fail "no executable usr/bin/$prog"
done
# The daemon opens the tweak from ../<libdir>/plinthora beside its own folder.
tweak=$(cd "$ROOT/usr" && find . -path '*/plinthora/libPlinthora.so' -printf '%P\n')
[ -n "$tweak" ] || fail "no libPlinthora.so"
[ -f "$ROOT/usr/bin/../$tweak" ] || fail "tweak at an unexpected place: $tweak"
# The command line opens its movie module from the same folder.
[ -f "$ROOT/usr/$(dirname "$tweak")/libPlinthoraMovies.so" ] || fail "no libPlinthoraMovies.so beside the tweak"

unit=$ROOT/usr/lib/systemd/user/plinthorad.service
[ -f "$unit" ] || fail "no systemd user unit"
grep -qx 'ExecStart=/usr/bin/plinthorad' "$unit" || fail "the unit does not start the packaged daemon: $(grep ExecStart "$unit")"

xml=$ROOT/usr/share/dbus-1/interfaces/com.ozrin.plinthora.Daemon.xml
[ -f "$xml" ] && grep -q '<interface name="com.ozrin.plinthora.Daemon"' "$xml" || fail "no D-Bus interface description"

for f in shell.png shell.cfg shell-landscape.png shell-landscape.cfg screenshot.png watermark.png; do
  [ -s "$ROOT/usr/share/plinthora/samples/$f" ] || fail "no sample $f"
done
head -c 8 "$ROOT/usr/share/plinthora/samples/shell.png" | od -An -tx1 | grep -q '89 50 4e 47' || fail "shell.png is no PNG"
grep -q '"left_top_x"' "$ROOT/usr/share/plinthora/samples/shell.cfg" || fail "shell.cfg is no corner template"
# The English texts, where the programs look for them beside /usr/bin.
[ -s "$ROOT/usr/share/plinthora/translations/plinthora_en.qm" ] || fail "no English translation (plinthora_en.qm)"

# Every program of the build is in the package, and every desktop entry
# starts one of them.
while IFS= read -r prog; do
  [ -x "$ROOT/usr/bin/$prog" ] || fail "$prog was built but is not packaged"
done < <(find "$BUILD/host" "$BUILD/prefs" -maxdepth 1 -type f -executable -name 'plinthora*' -printf '%f\n' 2>/dev/null)
if [ -d "$BUILD/prefs/PlinthoraPrefs.bundle" ]; then
  for f in PlinthoraPrefs Root.plist Info.plist; do
    [ -n "$(find "$ROOT/usr" -path "*/plinthora/PlinthoraPrefs.bundle/$f")" ] || fail "settings bundle lacks $f"
  done
fi
shopt -s nullglob
for entry in "$ROOT"/usr/share/applications/*.desktop "$autostart"; do
  grep -q '^\[Desktop Entry\]' "$entry" || fail "$(basename "$entry") is no desktop entry"
  exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry" | head -1)
  [ -x "$ROOT/usr/bin/$(basename "$exec")" ] || fail "$(basename "$entry") starts $exec, which is not packaged"
done

# Nothing of the build tree leaks into installed files.
if grep -rlF "$BUILD" "$ROOT/usr/lib/systemd" "$ROOT/usr/share" >/dev/null 2>&1; then
  fail "build paths in installed files"
fi
# A package Debian's own checker finds no error in.
if command -v lintian >/dev/null; then
  lintian --allow-root --tag-display-limit 0 "$DEB" >"$WORK/lintian.log" 2>&1 || true
  if grep -q '^E: ' "$WORK/lintian.log"; then
    grep '^E: ' "$WORK/lintian.log" >&2
    fail "lintian reports errors"
  fi
else
  fail "lintian is not installed (scripts/deps.sh installs it)"
fi
echo "package: $(basename "$DEB") OK"
