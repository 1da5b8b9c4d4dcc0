#!/usr/bin/env bash
# Draws assets/splash.png, the 300x169 picture of the progress window: a
# dusk sky over layered hills with a low sun, the name "Corvadelin" on top,
# and rounded, antialiased corners that are transparent.
# Needs ImageMagick 6 and the DejaVu fonts (Debian: imagemagick,
# fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")"

im=/usr/bin/convert  # ImageMagick itself, whatever else is on PATH
font_bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
w=300
h=169
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Sky, sun with a soft glow, three ranges of hills, lettering.
"$im" -size ${w}x${h} gradient:'#1b2a55'-'#f0a35e' \
  \( -size ${w}x${h} xc:none -fill '#ffd89a80' \
     -draw "circle 236,92 236,52" -blur 0x14 \) -composite \
  -fill '#ffe7b0' -draw "circle 236,92 236,76" \
  -fill '#5b3b6e' -draw "polygon 0,118 40,96 84,110 130,86 176,108 222,92 262,104 300,90 300,169 0,169" \
  -fill '#3a2a55' -draw "polygon 0,134 52,114 98,128 150,108 204,130 250,116 300,126 300,169 0,169" \
  -fill '#1d1a33' -draw "polygon 0,150 46,138 104,148 160,134 218,150 268,140 300,146 300,169 0,169" \
  -font "$font_bold" -pointsize 34 \
  -fill '#00000066' -annotate +25+64 'Corvadelin' \
  -fill '#fff6e8' -annotate +23+62 'Corvadelin' \
  -font "$font" -pointsize 11 -fill '#fff6e8cc' \
  -annotate +25+82 'preparing your launcher' \
  "$tmp/scene.png"

# Transparent rounded corners: keep the scene only inside the mask.
"$im" -size ${w}x${h} xc:none -fill white \
  -draw "roundrectangle 0,0,$((w - 1)),$((h - 1)),14,14" "$tmp/mask.png"
"$im" "$tmp/scene.png" "$tmp/mask.png" -alpha set -compose DstIn -composite \
  -strip -define png:exclude-chunks=all -define png:color-type=6 \
  -define png:bit-depth=8 PNG32:splash.png
# Smaller, same pixels (Debian: zopfli), where it is installed.
if command -v zopflipng >/dev/null; then
  zopflipng -y -m splash.png splash.png >/dev/null
fi
