#!/usr/bin/env bash
# quillora-get --gallery over the 200-picture album `large` (copied first
# from the sample service on loopback): the first gallery, which decodes and
# scales every picture, and a second one, which finds every thumbnail made
# and writes the pages alone. Time and peak memory (GNU time's maximum
# resident size), medians; the thumbnails' size. The album holds its four
# large pictures fifty times each, and thumbnails go by the bytes' SHA-256:
# the first gallery decodes four pictures and writes 200 entries.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
cmake --build "$build" --target quillora-get >/dev/null
get="$build/bin/quillora-get"

work=$(mktemp -d)
service=
cleanup() { [ -n "$service" ] && kill "$service" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
python3 "$root/tools/sample-service/service.py" --port-file "$work/port" --lifetime 600 >/dev/null 2>&1 &
service=$!
for _ in $(seq 1 200); do [ -s "$work/port" ] && break; sleep 0.05; done
args=(--config /dev/null --dest "$work/s" --archive "$work/archive.db" -q)
"$get" "${args[@]}" --proxy "127.0.0.1:$(cat "$work/port")" large

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
measure() { # prints "seconds peak-kB"
  /usr/bin/time -f '%e %M' -o "$work/time" "$get" "${args[@]}" --gallery >/dev/null
  cat "$work/time"
}
firsts=(); first_kb=(); seconds=(); second_kb=()
for _ in $(seq 1 "$runs"); do
  find "$work/s/Pic" -name .quillora-gallery -type d -prune -exec rm -rf {} +
  read -r t kb < <(measure); firsts+=("$t"); first_kb+=("$kb")
  read -r t kb < <(measure); seconds+=("$t"); second_kb+=("$kb")
done
pictures=$(sqlite3 "$work/archive.db" "SELECT count(*) FROM pictures")
count=$(ls "$work"/s/Pic/*/.quillora-gallery/*.png | wc -l)
thumbs=$(du -cb "$work"/s/Pic/*/.quillora-gallery/*.png | tail -1 | cut -f1)
bytes=$(sqlite3 "$work/archive.db" "SELECT sum(size) FROM pictures")
printf -- '--gallery over %d pictures (%.1f MB): first %.2f s, peak %d KB; again (every thumbnail kept) %.2f s, peak %d KB; median of %d\n' \
  "$pictures" "$(echo "$bytes / 1048576" | bc -l)" "$(median "${firsts[@]}")" "$(median "${first_kb[@]}")" \
  "$(median "${seconds[@]}")" "$(median "${second_kb[@]}")" "$runs"
printf 'thumbnails: %d, %.1f KB each\n' "$count" "$(echo "$thumbs / 1024 / $count" | bc -l)"
