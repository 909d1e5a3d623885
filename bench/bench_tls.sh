#!/usr/bin/env bash
# quillora-fetch against curl over TLS: one 256 MB body from a loopback nginx
# with a test certificate (a CA made here, trusted by --cacert on both),
# written to a file; runs alternating between the two tools, medians reported.
# Targets: time <= 1.0x curl's; peak RSS <= curl's.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
fetch="$build/bin/quillora-fetch"
[ -x "$fetch" ] || { echo "no $fetch; build first" >&2; exit 1; }
rounds=${BENCH_ROUNDS:-5}
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY SSL_CERT_FILE SSL_CERT_DIR

. "$(dirname "$0")/nginx_port.sh"
tmp=$(mktemp -d /tmp/quillora-bench-tls-XXXXXX)
chmod 755 "$tmp"
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/www" "$tmp/state" "$tmp/pki"
# A CA and a server certificate for 127.0.0.1, as a site would have.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout "$tmp/pki/ca.key" -out "$tmp/pki/ca.crt" -days 2 \
  -subj "/CN=Quillora Bench CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req "${ec[@]}" -keyout "$tmp/pki/server.key" -out "$tmp/pki/server.csr" -subj "/CN=127.0.0.1" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > "$tmp/pki/server.ext"
openssl x509 -req -in "$tmp/pki/server.csr" -CA "$tmp/pki/ca.crt" -CAkey "$tmp/pki/ca.key" -CAcreateserial \
  -days 2 -extfile "$tmp/pki/server.ext" -out "$tmp/pki/server.crt" 2>/dev/null

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
  server {
    listen 127.0.0.1:$1 ssl; root $tmp/www;
    ssl_certificate $tmp/pki/server.crt; ssl_certificate_key $tmp/pki/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
  }
}
CONF
}
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tmp/www/big"
start_nginx write_conf -e "$tmp/state/error.log" -p "$tmp/state" -c "$tmp/state/nginx.conf" -g 'daemon off;'
big="https://127.0.0.1:$port/big"

# "seconds peak-kB" of one command.
measure() {
  /usr/bin/time -f '%e %M' -o "$tmp/time" "$@" > /dev/null 2>&1
  cat "$tmp/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "one 256 MB body over TLS to a file, $rounds alternating rounds"
: > "$tmp/q"; : > "$tmp/c"
for _ in $(seq "$rounds"); do
  measure "$fetch" --cacert "$tmp/pki/ca.crt" -o "$tmp/out_q" "$big" >> "$tmp/q"
  measure curl -s --cacert "$tmp/pki/ca.crt" -o "$tmp/out_c" "$big" >> "$tmp/c"
done
cmp -s "$tmp/out_q" "$tmp/www/big" || { echo "quillora-fetch body differs" >&2; exit 1; }
cmp -s "$tmp/out_c" "$tmp/www/big" || { echo "curl body differs" >&2; exit 1; }
q_t=$(cut -d' ' -f1 "$tmp/q" | median); c_t=$(cut -d' ' -f1 "$tmp/c" | median)
q_m=$(cut -d' ' -f2 "$tmp/q" | median); c_m=$(cut -d' ' -f2 "$tmp/c" | median)
printf '  quillora-fetch  %6.3f s  %7d kB peak RSS\n' "$q_t" "$q_m"
printf '  curl            %6.3f s  %7d kB peak RSS\n' "$c_t" "$c_m"
awk -v q="$q_t" -v c="$c_t" 'BEGIN { printf "  time ratio %.2fx curl (target <= 1.0x)\n", (c > 0 ? q / c : 0) }'
awk -v q="$q_m" -v c="$c_m" 'BEGIN { printf "  peak RSS %+d kB against curl (target <= 0)\n", q - c }'
