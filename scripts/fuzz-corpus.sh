#!/usr/bin/env bash
# Writes the fuzz targets' seed corpora under DIR (default build-fuzz/corpus):
# a few valid inputs of each kind plus cut and damaged copies, so the fuzzer
# starts from real structure instead of from nothing.
set -euo pipefail
OUT=${1:-build-fuzz/corpus}
mkdir -p "$OUT"/{preferences,shell_template,image_decode,movie_open}
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# Preferences: XML and binary, every key, wrong types, wrong root.
P=$OUT/preferences
cat > "$T/full.plist" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>sr_recShellEnabled</key><true/>
<key>sr_ssShellEnabled</key><false/>
<key>sr_recWatermarkEnabled</key><integer>1</integer>
<key>sr_ssWatermarkEnabled</key><string>YES</string>
<key>sr_randomShell</key><real>0.5</real>
<key>sr_randomWatermark</key><false/>
<key>sr_selectedShell</key><string>frame.png</string>
<key>sr_selectedWatermark</key><string>水印.png</string>
<key>sr_watermarkOpacity</key><real>0.37</real>
<key>sr_watermarkMode</key><string>2</string>
<key>sr_watermarkBlendMode</key><string>滤色</string>
<key>sr_vibrationEnabled</key><integer>-42</integer>
<key>sr_deleteOriginal</key><date>2024-01-01T00:00:00Z</date>
<key>sr_saveToClipboard</key><array><true/></array>
<key>unknown</key><dict><key>a</key><data>AAEC</data></dict>
</dict></plist>
XML
cp "$T/full.plist" "$P/full.xml"
plistutil -i "$T/full.plist" -o "$P/full.bplist" -f bin
printf '<?xml version="1.0"?><plist version="1.0"><array><string>x</string></array></plist>' > "$P/array-root.xml"
printf '<plist><dict><key>sr_watermarkMode</key><real>1e300</real><key>sr_watermarkOpacity</key><real>-1e300</real></dict></plist>' > "$P/huge.xml"
head -c 200 "$T/full.plist" > "$P/torn.xml"
head -c 40 "$P/full.bplist" > "$P/torn.bplist"

# Shell templates: 34 bytes of sizes and options, then the JSON.
S=$OUT/shell_template
sizes() { python3 -c "import struct,sys; sys.stdout.buffer.write(struct.pack('<4d', *map(float, sys.argv[1:5])) + bytes([40, 80, 20, 44, int(sys.argv[5])]))" "$@"; }
{ sizes 1000 2000 1170 2532 3; echo '{"template_width":1000,"template_height":2000,"left_top_x":100,"left_top_y":150,"right_top_x":900,"right_top_y":150,"left_bottom_x":100,"left_bottom_y":1850,"right_bottom_x":900,"right_bottom_y":1850}'; } > "$S/corner"
{ sizes 40 80 20 44 5; echo '{"template_width":"40","template_height":80,"x":2,"y":3,"width":30.5,"height":true}'; } > "$S/rect"
{ sizes 0 -1 nan inf 7; echo '{"template_width":1e-45,"template_height":3e38,"left_top_x":"120.5abc","right_bottom_y":-1e39}'; } > "$S/extreme"
{ sizes 100 100 1 3 0; echo '{"template_width":1,"left_top_x":null}'; } > "$S/null-key"
{ sizes 100 100 3 1 0; echo '[1,2,3]'; } > "$S/array"

# Images: small PNG and JPEG, with alpha and EXIF-free, then cut and with a
# header that declares a huge size.
I=$OUT/image_decode
ffmpeg -v error -y -f lavfi -i 'color=c=red@0.5:s=5x3,format=rgba' -frames:v 1 "$I/rgba.png"
ffmpeg -v error -y -f lavfi -i 'testsrc=s=16x8' -frames:v 1 -pix_fmt rgb24 "$I/rgb.png"
ffmpeg -v error -y -f lavfi -i 'testsrc=s=16x8' -frames:v 1 -pix_fmt gray "$I/gray.png"
ffmpeg -v error -y -f lavfi -i 'testsrc=s=16x8' -frames:v 1 "$I/photo.jpg"
head -c 60 "$I/rgb.png" > "$I/cut.png"
head -c 200 "$I/photo.jpg" > "$I/cut.jpg"
# IHDR of 40000 x 40000 (CRC left as it is: readers must not trust it).
python3 - "$I/rgb.png" "$I/huge.png" <<'PY'
import struct, sys, zlib
b = bytearray(open(sys.argv[1], 'rb').read())
b[16:24] = struct.pack('>II', 40000, 40000)
b[29:33] = struct.pack('>I', zlib.crc32(bytes(b[12:29])))
open(sys.argv[2], 'wb').write(b)
PY
# Movies: what desktop recorders write, tiny, then cut short.
M=$OUT/movie_open
ffmpeg -v error -y -f lavfi -i 'testsrc=s=32x24:r=10:d=0.3' -c:v libx264 -pix_fmt yuv420p \
  -metadata:s:v rotate=90 "$M/h264.mp4"
ffmpeg -v error -y -f lavfi -i 'testsrc=s=32x24:r=10:d=0.3' -f lavfi -i 'sine=d=0.3' -c:v libvpx -c:a libopus \
  -shortest "$M/vp8-opus.webm"
head -c 700 "$M/h264.mp4" > "$M/cut.mp4"
head -c 400 "$M/vp8-opus.webm" > "$M/cut.webm"
echo "seed corpora in $OUT"
