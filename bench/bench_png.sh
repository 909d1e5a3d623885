#!/usr/bin/env bash
# Decode time of large photo-like PNG files: the program's reader against
# libpng making the same raster (8-bit, blue-green-red(-alpha), interlacing
# resolved). Runs alternate between the two; each run times one decode in
# processor time (the machine is shared); medians are compared.
# Target: the program's reader at most 0.75 x libpng's time, every check on.
# Both inflate with the same zlib, which takes about three quarters of the
# reader's time; the gain is in the checksum, the filters and the rows. The
# "zlib alone" column is zlib's inflate over the same data with nothing else:
# no reader on this zlib can go below it, and "floor" is its ratio to libpng.
# Usage: bench_png.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-11}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
work="$build/bench-png"
mkdir -p "$work"

cmake --build "$build" --target quillora_graphics -j 2 >/dev/null
cc -O2 -o "$work/make_photo" "$here/png/make_photo.c" -lz
cc -O2 -o "$work/decode_libpng" "$here/png/decode_libpng.c" -lpng
cc -O2 -o "$work/inflate_only" "$here/png/inflate_only.c" -lz
# Built with the build folder's own libraries, so the reader is measured as the product has it.
g++ -std=c++20 -O2 -I "$src/src" -o "$work/decode_quillora" "$here/png/decode_quillora.cpp" \
  "$build/src/graphics/libquillora_graphics.a" "$build/src/core/libquillora_core.a" -lz -ljpeg

# Peak memory of loading crafted files: raster plus at most 64 MiB.
g++ -std=c++20 -O2 -I "$src/src" -o "$work/peak_memory" "$here/png/peak_memory.cpp" \
  "$build/src/graphics/libquillora_graphics.a" "$build/src/core/libquillora_core.a" -lz -ljpeg
"$work/peak_memory"
echo

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

printf '%-26s %10s %10s %7s %12s %6s\n' "image (3000 x 2000)" "quillora" "libpng" "ratio" "zlib alone" "floor"
worst=0
for kind in rgb rgba; do
  for interlaced in 0 1; do
    name="$kind-$([ "$interlaced" = 1 ] && echo interlaced || echo straight)"
    file="$work/$name.png"
    [ -s "$file" ] || "$work/make_photo" "$file" 3000 2000 "$kind" "$interlaced"
    ours=() theirs=() zlib=()
    for ((i = 0; i < runs; i++)); do
      read -r t_ours h_ours < <("$work/decode_quillora" "$file")
      read -r t_theirs h_theirs < <("$work/decode_libpng" "$file")
      if [ "$h_ours" != "$h_theirs" ]; then
        echo "bench_png: $name: the rasters differ ($h_ours vs $h_theirs)" >&2
        exit 1
      fi
      ours+=("$t_ours") theirs+=("$t_theirs") zlib+=("$("$work/inflate_only" "$file")")
    done
    m_ours=$(printf '%s\n' "${ours[@]}" | median)
    m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
    m_zlib=$(printf '%s\n' "${zlib[@]}" | median)
    ratio=$(awk -v a="$m_ours" -v b="$m_theirs" 'BEGIN {printf "%.2f", a / b}')
    floor=$(awk -v a="$m_zlib" -v b="$m_theirs" 'BEGIN {printf "%.2f", a / b}')
    printf '%-26s %8.1f ms %7.1f ms %7s %9.1f ms %6s\n' "$name" "$m_ours" "$m_theirs" "$ratio" "$m_zlib" "$floor"
    worst=$(awk -v a="$ratio" -v b="$worst" 'BEGIN {print (a > b) ? a : b}')
  done
done
echo "worst ratio $worst (target <= 0.75)"
