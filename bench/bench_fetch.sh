#!/usr/bin/env bash
# quillora-fetch against curl on the same loopback nginx, runs alternating
# between the two tools, medians reported:
#   (a) one 256 MB body written to a file: wall time and peak RSS;
#   (b) 1,000 small bodies, each fetched by a separate invocation of the tool,
#       so every body has a fresh client and a fresh connection (curl gets
#       the same treatment: one process per body).
# Targets: time <= 1.0x curl on both; peak RSS of (a) within 16 MB of curl's.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
fetch="$build/bin/quillora-fetch"
[ -x "$fetch" ] || { echo "no $fetch; build first" >&2; exit 1; }
rounds=${BENCH_ROUNDS:-5}
small_count=${BENCH_SMALL_COUNT:-1000}
unset http_proxy HTTP_PROXY no_proxy NO_PROXY

. "$(dirname "$0")/fetch_common.sh"
fetch_bench_folder /tmp/quillora-bench-XXXXXX
fetch_http_extra="sendfile on;"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tmp/www/big"
printf 'a small body\n' > "$tmp/www/small"
start_fetch_nginx

big="http://127.0.0.1:$port/big"
small="http://127.0.0.1:$port/small"

echo "(a) one 256 MB body to a file, $rounds alternating rounds"
big_body_rounds "$big"
aq_t=$big_q_t; ac_t=$big_c_t; aq_m=$big_q_m; ac_m=$big_c_m

echo "(b) $small_count small bodies, one process (fresh client, fresh connection) each, $rounds alternating rounds"
loop() { for _ in $(seq "$small_count"); do "$@" "$small" > /dev/null; done; }
: > "$tmp/b_q"; : > "$tmp/b_c"
for _ in $(seq "$rounds"); do
  s=$(date +%s%N); loop "$fetch"; e=$(date +%s%N); awk "BEGIN { print ($e - $s) / 1e9 }" >> "$tmp/b_q"
  s=$(date +%s%N); loop curl -s; e=$(date +%s%N); awk "BEGIN { print ($e - $s) / 1e9 }" >> "$tmp/b_c"
done
bq=$(median < "$tmp/b_q"); bc_=$(median < "$tmp/b_c")
printf '  quillora-fetch  %6.3f s\n' "$bq"
printf '  curl            %6.3f s\n' "$bc_"

verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi; }
echo "targets:"
echo "  (a) time <= 1.0x curl: $(verdict "$aq_t <= $ac_t") ($(awk "BEGIN { printf \"%.2f\", $aq_t / $ac_t }")x)"
echo "  (a) peak RSS within 16 MB of curl: $(verdict "$aq_m - $ac_m <= 16384") ($(( (aq_m - ac_m) / 1024 )) MB difference)"
echo "  (b) time <= 1.0x curl: $(verdict "$bq <= $bc_") ($(awk "BEGIN { printf \"%.2f\", $bq / $bc_ }")x)"
