#!/usr/bin/env bash
# Rebuilds the icon and bitmap files in resources/art from make_art.cpp and writes
# previews of every image to build/art-preview for a look before committing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out="$root/build/art-preview"
mkdir -p "$out"
g++ -std=c++17 -O2 -Wall -Wextra -o "$out/make_art" "$root/tools/art/make_art.cpp"
"$out/make_art" "$root/resources/art"
for f in "$root"/resources/art/*.ico; do
  name=$(basename "$f" .ico)
  convert "$f" -background '#c8c8c8' -alpha remove "$out/$name.png" 2>/dev/null || true
done
for f in "$root"/resources/art/*.bmp; do
  name=$(basename "$f" .bmp)
  convert "$f" -filter point -resize 800% "$out/$name.png" 2>/dev/null || true
done
echo "icons and bitmaps written to resources/art, previews in $out"
