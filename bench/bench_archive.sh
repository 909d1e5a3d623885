#!/usr/bin/env bash
# quillora-get's archive on the 200-picture album `large`, over the simulated
# link of bench_get.sh (a relay in front of nginx, 40 ms round trip): the
# re-run that skips every recorded picture without a request, --refresh that
# asks about each one with its validators (nginx answers 304), and --verify
# (no network: every file read and hashed; the files are in the page cache,
# so this is the hashing and reading speed, not the disk's; sha256sum -c on
# the same rows for comparison). Medians.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/nginx_port.sh"
runs=${RUNS:-3}
rtt=${RTT_MS:-40}
mbit=${MBIT:-50}
cmake --build "$build" --target quillora-get >/dev/null
get="$build/bin/quillora-get"

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

python3 "$root/tools/sample-service/service.py" --export "$work/tree"
sample_nginx_extra="keepalive_requests 10000;"
start_nginx write_sample_conf -p "$work" -c "$work/nginx.conf"
pids+=("$nginx_pid")
rm -f "$work/relay.port"
python3 "$root/bench/get/link_relay.py" --listen-port-file "$work/relay.port" --target "$port" \
  --rtt-ms "$rtt" --mbit "$mbit" --conn-mbit 0 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/relay.port" ] && break; sleep 0.05; done
relay=127.0.0.1:$(cat "$work/relay.port")

seconds() { local t0; t0=$(date +%s.%N); "$@" >/dev/null 2>&1 || echo "run failed: $*" >&2; echo "$(date +%s.%N) - $t0" | bc -l; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
args=(--dest "$work/s" -q --archive "$work/archive.db")

"$get" --proxy "$relay" "${args[@]}" large
bytes=$(sqlite3 "$work/archive.db" "SELECT sum(size) FROM pictures")
rows=$(sqlite3 "$work/archive.db" "SELECT count(*) FROM pictures")
echo "pictures: $rows, bytes: $bytes, round trip: $rtt ms"
reruns=(); refreshes=(); verifies=(); sums=()
for _ in $(seq 1 "$runs"); do
  reruns+=("$(seconds "$get" --proxy "$relay" "${args[@]}" large)")
  refreshes+=("$(seconds "$get" --proxy "$relay" "${args[@]}" --refresh --json "$work/refresh.json" large)")
  verifies+=("$(seconds "$get" "${args[@]}" --verify)")
  sums+=("$(seconds sh -c "cd '$work/s' && sqlite3 '$work/archive.db' \"SELECT sha256 || '  ' || path FROM pictures\" | sha256sum --quiet -c")")
done
unchanged=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["totals"]["unchanged"])' "$work/refresh.json")
mv=$(median "${verifies[@]}")
printf 're-run with --archive (no picture request): %.2f s; --refresh: %.2f s (%d of %d unchanged, 304); median of %d\n' \
  "$(median "${reruns[@]}")" "$(median "${refreshes[@]}")" "$unchanged" "$rows" "$runs"
ms=$(median "${sums[@]}")
printf -- '--verify: %.3f s for %.1f MB, %.0f MB/s; sha256sum -c on the same rows %.3f s, %.0f MB/s (median of %d, files in the page cache)\n' \
  "$mv" "$(echo "$bytes / 1048576" | bc -l)" "$(echo "$bytes / 1048576 / $mv" | bc -l)" \
  "$ms" "$(echo "$bytes / 1048576 / $ms" | bc -l)" "$runs"
