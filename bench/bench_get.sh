#!/usr/bin/env bash
# quillora-get over a simulated link (a relay in front of nginx that adds a
# round trip of 40 ms and a bandwidth): the 200-picture album against
# aria2c -j 4 and wget -i fetching the same addresses through the same relay,
# alternating runs, medians. Then the same with a per-connection limit of
# 10 Mbit/s, a repeated run that skips everything, the peak memory with
# --jobs 8, and how closely --limit-rate holds its rate over all workers.
# GET_ONLY=yes runs the first comparison alone, at this round trip and at
# 150 ms; LOOKUP_ONLY=yes the window's lookup alone. Last, the window over the same link: the download of the album against
# aria2c -j 4, and a lookup of 500 albums, at this round trip and at 150 ms,
# fetching ahead (the default), and with ONE_BY_ONE=yes one by one too
# (QUILLORA_CONNECTIONS=0).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/nginx_port.sh"
runs=${RUNS:-3}
rtt=${RTT_MS:-40}
mbit=${MBIT:-50}
cmake --build "$build" --target quillora-get bench_albums >/dev/null
get="$build/bin/quillora-get"

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

python3 "$root/tools/sample-service/service.py" --export "$work/tree"
sample_nginx_extra="keepalive_requests 10000;"
start_nginx write_sample_conf -p "$work" -c "$work/nginx.conf"
pids+=("$nginx_pid")

grep -o "ourl:'[^']*'" "$work/tree/photo.quillora.example/album/large/pics-01.js" |
  sed -E "s|ourl:'([^/]*)/(.*)'|http://img\1.photo.quillora.example/\2|" > "$work/urls.txt"
bytes=$(while read -r u; do f=${u#http://img}; h=${f%%.*}; cat "$work/tree/img$h.photo.quillora.example/${u#http://*/}"; done < "$work/urls.txt" | wc -c)
echo "pictures: $(wc -l < "$work/urls.txt"), bytes: $bytes, round trip: $rtt ms"

start_relay() { # shared-mbit per-connection-mbit
  rm -f "$work/relay.port"
  python3 "$root/bench/get/link_relay.py" --listen-port-file "$work/relay.port" --target "$port" \
    --rtt-ms "$rtt" --mbit "$1" --conn-mbit "$2" &
  relay_pid=$!
  pids+=($relay_pid)
  for _ in $(seq 1 100); do [ -s "$work/relay.port" ] && break; sleep 0.05; done
  relay=127.0.0.1:$(cat "$work/relay.port")
}
stop_relay() { kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; }
seconds() { local t0; t0=$(date +%s.%N); "$@" >/dev/null 2>&1 || echo "run failed: $*" >&2; echo "$(date +%s.%N) - $t0" | bc -l; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
run_get() { rm -rf "$work/g"; seconds "$get" --proxy "$relay" --dest "$work/g" -q -j "${1:-4}" large; }
run_aria() {
  rm -rf "$work/a"
  seconds aria2c -q -j 4 -x 1 -s 1 --all-proxy="http://$relay" --allow-overwrite=true --auto-file-renaming=false \
    --file-allocation=none -d "$work/a" -i "$work/urls.txt"
}
run_wget() { rm -rf "$work/w"; seconds wget -q -i "$work/urls.txt" -P "$work/w" -e use_proxy=on -e "http_proxy=$relay"; }

compare() { # label shared per-connection with-wget
  start_relay "$2" "$3"
  local ours=() aria=() wg=()
  for _ in $(seq 1 "$runs"); do
    ours+=("$(run_get)"); aria+=("$(run_aria)")
    [ "$4" = yes ] && wg+=("$(run_wget)")
  done
  stop_relay
  local mo ma link
  mo=$(median "${ours[@]}"); ma=$(median "${aria[@]}")
  link=$(echo "$bytes * 8 / ($2 * 1000000)" | bc -l)
  printf '%s, median of %d: quillora-get %.2f s, aria2c -j 4 %.2f s (ratio %.2f), link limit %.2f s (ratio %.2f)' \
    "$1" "$runs" "$mo" "$ma" "$(echo "$mo / $ma" | bc -l)" "$link" "$(echo "$mo / $link" | bc -l)"
  [ "$4" = yes ] && printf ', wget -i %.2f s' "$(median "${wg[@]}")"
  echo
}

# GET_ONLY=yes: only quillora-get (with -j 4, which is also its default)
# against aria2c -j 4 over the shared link, at this round trip and at 150 ms.
if [ "${GET_ONLY:-no}" = yes ]; then
  echo "load average: $(uptime | sed 's/.*load average: //')"
  compare "shared ${mbit} Mbit/s, ${rtt} ms" "$mbit" 0 no
  rtt=150
  compare "shared ${mbit} Mbit/s, ${rtt} ms" "$mbit" 0 no
  echo "load average: $(uptime | sed 's/.*load average: //')"
  exit 0
fi

# LOOKUP_ONLY=yes: only the window's lookup of 500 albums, at this round trip
# and at 150 ms; BENCH_ALBUMS names another bench_albums binary to time.
if [ "${LOOKUP_ONLY:-no}" = yes ]; then
  albums=${BENCH_ALBUMS:-$build/bin/bench_albums}
  echo "load average: $(uptime | sed 's/.*load average: //')"
  for rtt in "$rtt" 150; do
    start_relay "$mbit" 0
    look=()
    for _ in $(seq 1 "$runs"); do
      look+=("$(cd "$work" && rm -rf Pic tmp && http_proxy="http://$relay" no_proxy= "$albums" lookup-once |
        sed -E 's/.*: ([0-9.]+) s.*/\1/')")
    done
    stop_relay
    printf 'lookup of 500 albums at %d ms, median of %d: %.2f s (%s)\n' "$rtt" "$runs" "$(median "${look[@]}")" "${look[*]}"
  done
  exit 0
fi

compare "shared ${mbit} Mbit/s" "$mbit" 0 yes
compare "shared ${mbit} Mbit/s, 10 Mbit/s per connection" "$mbit" 10 no

start_relay "$mbit" 0
"$get" --proxy "$relay" --dest "$work/s" -q --archive "$work/s/archive.db" large 2>/dev/null || mkdir -p "$work/s"
"$get" --proxy "$relay" --dest "$work/s" -q --archive "$work/s/archive.db" large
skips=(); heads=()
for _ in $(seq 1 "$runs"); do
  skips+=("$(seconds "$get" --proxy "$relay" --dest "$work/s" -q --archive "$work/s/archive.db" large)")
  heads+=("$(seconds "$get" --proxy "$relay" --dest "$work/s" -q large)")
done
printf 'repeated run, all skipped: %.2f s with --archive (no picture request), %.2f s by size (HEAD requests)\n' \
  "$(median "${skips[@]}")" "$(median "${heads[@]}")"
rm -rf "$work/g"
/usr/bin/time -f '%M' -o "$work/rss" "$get" --proxy "$relay" --dest "$work/g" -q -j 8 large
printf 'peak memory with --jobs 8: %.1f MB\n' "$(echo "$(cat "$work/rss") / 1024" | bc -l)"
stop_relay

# --limit-rate 1M over the sample account (a few MB, 4 workers, straight to
# nginx): the time the bytes take at 1 MiB/s, within 15 %.
limit_runs=()
for _ in $(seq 1 "$runs"); do
  rm -rf "$work/l"
  t0=$(date +%s.%N)
  "$get" --proxy "127.0.0.1:$port" --dest "$work/l" -q -j 4 --limit-rate 1M --json "$work/limit.json" quillora
  t=$(echo "$(date +%s.%N) - $t0" | bc -l)
  limit_bytes=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["totals"]["bytes_saved"])' "$work/limit.json")
  limit_runs+=("$t")
done
limit_t=$(median "${limit_runs[@]}")
expected=$(echo "$limit_bytes / 1048576" | bc -l)
ratio=$(echo "$limit_t / $expected" | bc -l)
verdict=$(echo "$ratio >= 0.85 && $ratio <= 1.15" | bc -l)
printf -- '--limit-rate 1M: %d bytes in %.2f s (median of %d), %.2f s expected at 1 MiB/s (ratio %.3f, %s)\n' \
  "$limit_bytes" "$limit_t" "$runs" "$expected" "$ratio" "$([ "$verdict" = 1 ] && echo "within 15 %" || echo "OUTSIDE 15 %")"

# The window: bench_albums drives it offscreen through the relay as its proxy.
cp "$build/bin/bench_albums" "$work/bench_albums"
window() { # mode, connections (empty: the default): prints the seconds of the line bench_albums prints
  (cd "$work" && rm -rf Pic tmp && http_proxy="http://$relay" no_proxy= QUILLORA_CONNECTIONS="$2" \
    /usr/bin/time -f 'peak %M' -o "$work/window.rss" ./bench_albums "$1") | sed -E 's/.*: ([0-9.]+) s.*/\1/'
}
window_figures() { # round trip
  rtt=$1
  start_relay "$mbit" 0
  local dl=() aria=() look=()
  for _ in $(seq 1 "$runs"); do
    dl+=("$(window download "")"); aria+=("$(run_aria)")
  done
  local rss_dl; rss_dl=$(sed 's/peak //' "$work/window.rss")
  for _ in $(seq 1 "$runs"); do look+=("$(window lookup-once "")"); done
  local rss_look; rss_look=$(sed 's/peak //' "$work/window.rss")
  # One by one is slow over a far link: only when asked for.
  local one_dl=0 one_look=0
  if [ "${ONE_BY_ONE:-no}" = yes ]; then one_dl=$(window download 0); one_look=$(window lookup-once 0); fi
  stop_relay
  local md ma
  md=$(median "${dl[@]}"); ma=$(median "${aria[@]}")
  printf 'window at %d ms, median of %d: download %.2f s, aria2c -j 4 %.2f s (ratio %.2f), peak %.0f MB; ' \
    "$rtt" "$runs" "$md" "$ma" "$(echo "$md / $ma" | bc -l)" "$(echo "$rss_dl / 1024" | bc -l)"
  printf 'lookup of 500 albums %.2f s, peak %.0f MB; one by one: download %.2f s, lookup %.2f s\n' \
    "$(median "${look[@]}")" "$(echo "$rss_look / 1024" | bc -l)" "$one_dl" "$one_look"
}
window_figures "$rtt"
window_figures 150
# The rate limit's verdict decides the exit status, after every figure is out.
[ "$verdict" = 1 ]
