#!/usr/bin/env bash
# Draws the plug-in's icon, plugin-files/Tessaran.ico: a business card (a
# portrait and two text lines) with an arrow sending it up, at 48, 32 and 16
# pixels. Drawn large and scaled down, so every size comes from one drawing.
# Usage: tools/icon/make_icon.sh [output.ico]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out="${1:-$here/plugin-files/Tessaran.ico}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# 192 x 192 master: the card, the portrait, two lines, and the arrow badge.
convert -size 192x192 xc:none \
  -fill '#1f4e79' -draw 'roundrectangle 8 40 184 160 16 16' \
  -fill '#ffffff' -draw 'roundrectangle 18 50 174 150 10 10' \
  -fill '#1f4e79' -draw 'circle 56 86 56 68' \
  -draw 'ellipse 56 134 30 22 180 360' \
  -fill '#5b8fc7' -draw 'rectangle 98 76 160 88' -draw 'rectangle 98 104 146 114' \
  -fill '#e67e22' -draw 'circle 150 142 150 104' \
  -fill '#ffffff' -draw 'polygon 150 114 170 138 158 138 158 164 142 164 142 138 130 138' \
  "$tmp/master.png"

for s in 48 32 16; do
  convert "$tmp/master.png" -filter Lanczos -resize ${s}x${s} -strip "$tmp/icon$s.png"
done
convert "$tmp/icon48.png" "$tmp/icon32.png" "$tmp/icon16.png" "$out"
identify "$out"
