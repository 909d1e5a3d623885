#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG (needs rsvg-convert,
# Debian package librsvg2-bin). The PNGs are kept in the repository; run this
# only after changing the SVG.
set -euo pipefail
dir=$(cd "$(dirname "$0")/../packaging/icons" && pwd)
app_id=io.github.quillora.QuilloraDownLoad
for size in 16 24 32 48 64 128 256; do
  mkdir -p "$dir/$size"
  rsvg-convert -w "$size" -h "$size" "$dir/$app_id.svg" -o "$dir/$size/$app_id.png"
done
