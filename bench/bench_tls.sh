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

. "$(dirname "$0")/fetch_common.sh"
fetch_bench_folder /tmp/quillora-bench-tls-XXXXXX
mkdir -p "$tmp/pki"
# A CA and a server certificate for 127.0.0.1, as a site would have.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout "$tmp/pki/ca.key" -out "$tmp/pki/ca.crt" -days 2 \
  -subj "/CN=Quillora Bench CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req "${ec[@]}" -keyout "$tmp/pki/server.key" -out "$tmp/pki/server.csr" -subj "/CN=127.0.0.1" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > "$tmp/pki/server.ext"
openssl x509 -req -in "$tmp/pki/server.csr" -CA "$tmp/pki/ca.crt" -CAkey "$tmp/pki/ca.key" -CAcreateserial \
  -days 2 -extfile "$tmp/pki/server.ext" -out "$tmp/pki/server.crt" 2>/dev/null

fetch_listen_extra=" ssl"
fetch_server_extra="ssl_certificate $tmp/pki/server.crt; ssl_certificate_key $tmp/pki/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tmp/www/big"
start_fetch_nginx
big="https://127.0.0.1:$port/big"

echo "one 256 MB body over TLS to a file, $rounds alternating rounds"
big_body_rounds "$big" --cacert "$tmp/pki/ca.crt"
q_t=$big_q_t; c_t=$big_c_t; q_m=$big_q_m; c_m=$big_c_m
awk -v q="$q_t" -v c="$c_t" 'BEGIN { printf "  time ratio %.2fx curl (target <= 1.0x)\n", (c > 0 ? q / c : 0) }'
awk -v q="$q_m" -v c="$c_m" 'BEGIN { printf "  peak RSS %+d kB against curl (target <= 0)\n", q - c }'
