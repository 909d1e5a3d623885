# Sourced by the quillora-fetch benchmarks against curl (bench_fetch.sh,
# bench_tls.sh): a scratch folder, a loopback nginx serving $tmp/www, and one
# 256 MB body fetched by both tools in alternating rounds.
. "$(dirname "${BASH_SOURCE[0]}")/nginx_port.sh"

# "seconds peak-kB" of one command.
measure() {
  /usr/bin/time -f '%e %M' -o "$tmp/time" "$@" > /dev/null 2>&1
  cat "$tmp/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Makes $tmp (removed on exit, with the nginx started here) and its www/ and state/.
fetch_bench_folder() { # mktemp-template
  tmp=$(mktemp -d "$1")
  chmod 755 "$tmp"
  nginx_pid=
  trap 'fetch_bench_cleanup' EXIT
  mkdir -p "$tmp/www" "$tmp/state"
}

fetch_bench_cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$tmp"
}

# nginx on port $1 serving $tmp/www; $fetch_http_extra goes into http {},
# $fetch_listen_extra after the listen address, $fetch_server_extra into server {}.
write_fetch_conf() { # port
  local user_line=""
  [ "$(id -u)" = 0 ] && user_line="user root;"
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
  ${fetch_http_extra:-}
  server {
    listen 127.0.0.1:$1${fetch_listen_extra:-}; root $tmp/www;
    ${fetch_server_extra:-}
  }
}
CONF
}

start_fetch_nginx() {
  start_nginx write_fetch_conf -e "$tmp/state/error.log" -p "$tmp/state" -c "$tmp/state/nginx.conf" -g 'daemon off;'
}

# $tmp/www/big (256 MB) fetched from url $1 to a file by quillora-fetch and
# by curl, each with the options after the url, $rounds alternating rounds;
# both bodies checked. Sets big_q_t big_c_t (median seconds) and big_q_m
# big_c_m (median peak kB) and prints them.
big_body_rounds() { # url options...
  local url=$1
  shift
  : > "$tmp/big_q"; : > "$tmp/big_c"
  for _ in $(seq "$rounds"); do
    measure "$fetch" "$@" -o "$tmp/out_q" "$url" >> "$tmp/big_q"
    measure curl -s "$@" -o "$tmp/out_c" "$url" >> "$tmp/big_c"
  done
  cmp -s "$tmp/out_q" "$tmp/www/big" || { echo "quillora-fetch body differs" >&2; exit 1; }
  cmp -s "$tmp/out_c" "$tmp/www/big" || { echo "curl body differs" >&2; exit 1; }
  big_q_t=$(cut -d' ' -f1 "$tmp/big_q" | median); big_c_t=$(cut -d' ' -f1 "$tmp/big_c" | median)
  big_q_m=$(cut -d' ' -f2 "$tmp/big_q" | median); big_c_m=$(cut -d' ' -f2 "$tmp/big_c" | median)
  printf '  quillora-fetch  %6.3f s  %7d kB peak RSS\n' "$big_q_t" "$big_q_m"
  printf '  curl            %6.3f s  %7d kB peak RSS\n' "$big_c_t" "$big_c_m"
}
