#!/usr/bin/env bash
# Time and peak memory of the list parsers and the header list on hostile
# texts: scripts whose records never end, and a header folded 100000 times.
# Both must stay linear: a few milliseconds and a few megabytes each.
# Usage: bench_hostile.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
work="$build/bench-hostile"
mkdir -p "$work"

cmake --build "$build" --target quillora_download quillora_http -j 2 >/dev/null
g++ -std=c++20 -O2 -I "$src/src" -o "$work/bench_hostile" "$here/hostile/bench_hostile.cpp" \
  "$build/src/download/libquillora_download.a" "$build/src/catalogue/libquillora_catalogue.a" \
  "$build/src/http/libquillora_http.a" "$build/src/net/libquillora_net.a" "$build/src/core/libquillora_core.a"

for scenario in pictures-unended albums-unended pictures-large continuations; do
  "$work/bench_hostile" "$scenario"
done
