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

. "$(dirname "$0")/nginx_port.sh"
tmp=$(mktemp -d /tmp/quillora-bench-XXXXXX)
chmod 755 "$tmp"
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/www" "$tmp/state"
user_line=""
[ "$(id -u)" = 0 ] && user_line="user root;"
write_conf() { # port
  cat > "$tmp/state/nginx.conf" <<CONF
worker_processes 1;
$user_line
pid $tmp/state/nginx.pid;
error_log $tmp/state/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $tmp/state/body; proxy_temp_path $tmp/state/proxy;
  fastcgi_temp_path $tmp/state/fastcgi; uwsgi_temp_path $tmp/state/uwsgi; scgi_temp_path $tmp/state/scgi;
  sendfile on;
  server { listen 127.0.0.1:$1; root $tmp/www; }
}
CONF
}
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tmp/www/big"
printf 'a small body\n' > "$tmp/www/small"
start_nginx write_conf -e "$tmp/state/error.log" -p "$tmp/state" -c "$tmp/state/nginx.conf" -g 'daemon off;'

big="http://127.0.0.1:$port/big"
small="http://127.0.0.1:$port/small"

# "seconds peak-kB" of one command.
measure() {
  /usr/bin/time -f '%e %M' -o "$tmp/time" "$@" > /dev/null 2>&1
  cat "$tmp/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "(a) one 256 MB body to a file, $rounds alternating rounds"
: > "$tmp/a_q"; : > "$tmp/a_c"
for _ in $(seq "$rounds"); do
  measure "$fetch" -o "$tmp/out_q" "$big" >> "$tmp/a_q"
  measure curl -s -o "$tmp/out_c" "$big" >> "$tmp/a_c"
done
cmp -s "$tmp/out_q" "$tmp/www/big" || { echo "quillora-fetch body differs" >&2; exit 1; }
cmp -s "$tmp/out_c" "$tmp/www/big" || { echo "curl body differs" >&2; exit 1; }
aq_t=$(cut -d' ' -f1 "$tmp/a_q" | median); ac_t=$(cut -d' ' -f1 "$tmp/a_c" | median)
aq_m=$(cut -d' ' -f2 "$tmp/a_q" | median); ac_m=$(cut -d' ' -f2 "$tmp/a_c" | median)
printf '  quillora-fetch  %6.3f s  %7d kB peak RSS\n' "$aq_t" "$aq_m"
printf '  curl            %6.3f s  %7d kB peak RSS\n' "$ac_t" "$ac_m"

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
