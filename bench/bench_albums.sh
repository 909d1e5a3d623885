#!/usr/bin/env bash
# Albums through the real window against nginx (serving the sample service's
# answers as static files): the download of one album of 200 pictures of about
# 200 KB versus wget -q -i of the same addresses through the same nginx as
# proxy, alternating runs, medians; then a lookup of 500 albums and the memory
# growth over 20 repeated lookups.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/nginx_port.sh"
runs=${RUNS:-5}
cmake --build "$build" --target bench_albums >/dev/null

work=$(mktemp -d)
nginx_pid=
cleanup() { [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

python3 "$root/tools/sample-service/service.py" --export "$work/tree"
start_nginx write_sample_conf -p "$work" -c "$work/nginx.conf"

# The addresses of the 200 pictures, as the program reads them from the picture list.
grep -o "ourl:'[^']*'" "$work/tree/photo.quillora.example/album/large/pics-01.js" |
  sed -E "s|ourl:'([^/]*)/(.*)'|http://img\1.photo.quillora.example/\2|" > "$work/urls.txt"
echo "pictures: $(wc -l < "$work/urls.txt"), bytes: $(cat "$work"/tree/img*/large-01/* | wc -c)"

export http_proxy="http://127.0.0.1:$port" no_proxy=
bin="$build/bin/bench_albums"
ours=() theirs=()
for i in $(seq 1 "$runs"); do
  rm -rf "$work/w"; mkdir -p "$work/w"
  t0=$(date +%s.%N)
  wget -q -i "$work/urls.txt" -P "$work/w" -e use_proxy=on -e "http_proxy=127.0.0.1:$port"
  theirs+=("$(echo "$(date +%s.%N) - $t0" | bc -l)")
  line=$(cd "$work" && cp "$bin" ./bench_albums && ${BENCH_WRAP:-} ./bench_albums download)
  ours+=("$(echo "$line" | sed -E 's/.*: ([0-9.]+) s/\1/')")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
m_ours=$(median "${ours[@]}"); m_wget=$(median "${theirs[@]}")
printf 'download, median of %d: QuilloraDownLoad %.3f s, wget %.3f s, ratio %.2f\n' "$runs" "$m_ours" "$m_wget" \
  "$(echo "$m_ours / $m_wget" | bc -l)"
(cd "$work" && ${BENCH_WRAP2:-} ./bench_albums download-hidden-preview | sed 's/^/without the preview: /')
(cd "$work" && ./bench_albums lookup)
(cd "$work" && ./bench_albums lookup-clear-log | sed 's/^/with the log emptied before each lookup: /')
