#!/usr/bin/env bash
# Draws assets/talvoro.ico, the program's icon: the splash picture's dusk
# sky, low sun and hills in a rounded square, at 16, 24, 32, 48 and 256
# pixels (Windows scales the nearest one for the sizes between). Every size
# is stored as a PNG inside the icon (Windows Vista and later read them),
# which keeps the program small.
# Needs ImageMagick 6 and python3 (Debian: imagemagick, python3); zopflipng
# (Debian: zopfli) makes it smaller when installed.
set -euo pipefail
cd "$(dirname "$0")"

im=/usr/bin/convert  # ImageMagick itself, whatever else is on PATH
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$im" -size 256x256 gradient:'#1b2a55'-'#f0a35e' \
  \( -size 256x256 xc:none -fill '#ffd89a80' \
     -draw "circle 176,118 176,70" -blur 0x18 \) -composite \
  -fill '#ffe7b0' -draw "circle 176,118 176,90" \
  -fill '#5b3b6e' -draw "polygon 0,160 48,128 100,150 156,118 210,146 256,126 256,256 0,256" \
  -fill '#3a2a55' -draw "polygon 0,188 62,162 120,182 180,156 256,178 256,256 0,256" \
  -fill '#1d1a33' -draw "polygon 0,214 56,198 124,212 190,194 256,206 256,256 0,256" \
  "$tmp/scene.png"
"$im" -size 256x256 xc:none -fill white \
  -draw "roundrectangle 0,0,255,255,40,40" "$tmp/mask.png"
"$im" "$tmp/scene.png" "$tmp/mask.png" -alpha set -compose DstIn -composite \
  "$tmp/icon.png"
sizes=(256 48 32 24 16)
for s in "${sizes[@]}"; do
  "$im" "$tmp/icon.png" -filter Lanczos -resize ${s}x${s} -strip \
    -define png:exclude-chunks=all PNG32:"$tmp/$s.png"
  # Smaller, same pixels (Debian: zopfli), where it is installed.
  if command -v zopflipng >/dev/null; then
    zopflipng -y -m "$tmp/$s.png" "$tmp/$s.png" >/dev/null
  fi
done

# The icon file: a directory of entries, then each PNG as it is.
python3 - "$tmp" "${sizes[@]}" <<'PY'
import struct, sys
folder, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
images = [open("%s/%d.png" % (folder, s), "rb").read() for s in sizes]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, data in zip(sizes, images):
    out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                       len(data), offset)
    offset += len(data)
open("talvoro.ico", "wb").write(out + b"".join(images))
PY
