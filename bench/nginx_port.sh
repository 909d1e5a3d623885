# Sourced by the benchmarks: nginx on a loopback port that nothing else holds.
#
# nginx binds only the port its configuration names, so start_nginx asks
# write_conf PORT to write a configuration for a port that was free a moment
# ago, runs `nginx ARGS...` in the background and waits until that very
# process listens there; when its bind lost the port to another program, it
# starts it again on another. Sets port and nginx_pid; fails after 5 tries.
start_nginx() { # write_conf nginx-arguments...
  local write_conf=$1 attempt state
  shift
  for attempt in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    "$write_conf" "$port"
    nginx "$@" &
    nginx_pid=$!
    for _ in $(seq 1 400); do
      state=$(nginx_state "$nginx_pid" "$port")
      [ "$state" = listening ] && return 0
      [ "$state" = gone ] && break
      sleep 0.05
    done
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    echo "nginx could not take port $port (attempt $attempt)" >&2
  done
  return 1
}

# "listening" when process PID holds a socket listening on 127.0.0.1:PORT,
# "gone" when it has ended, "starting" otherwise.
nginx_state() { # pid port
  python3 - "$1" "$2" <<'PY'
import os, sys
pid, port = sys.argv[1], int(sys.argv[2])
try:
    stat = open("/proc/%s/stat" % pid).read()
    if stat[stat.rindex(")") + 2] == "Z":
        raise OSError
    fds = os.listdir("/proc/%s/fd" % pid)
except OSError:
    print("gone")
    sys.exit(0)
inodes = set()
for fd in fds:
    try:
        target = os.readlink("/proc/%s/fd/%s" % (pid, fd))
    except OSError:
        continue
    if target.startswith("socket:["):
        inodes.add(target[8:-1])
for line in open("/proc/net/tcp").readlines()[1:]:
    f = line.split()
    if f[1] == "0100007F:%04X" % port and f[3] == "0A" and f[9] in inodes:
        print("listening")
        sys.exit(0)
print("starting")
PY
}

# nginx serving the sample service's export under $work/tree, one server
# block per host, its state in $work; $sample_nginx_extra goes into http {}.
write_sample_conf() { # port
  mkdir -p "$work/logs" "$work/tmp"
  {
    echo "daemon off; master_process off; worker_processes 1; pid $work/nginx.pid; error_log $work/logs/error.log;"
    echo "events { worker_connections 256; }"
    echo "http { access_log off; server_names_hash_bucket_size 128; default_type text/html; types { image/jpeg jpg; image/png png; }"
    echo "client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;"
    echo "uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp; ${sample_nginx_extra:-}"
    for host in "$work"/tree/*; do
      echo "server { listen 127.0.0.1:$1; server_name $(basename "$host"); root $host; }"
    done
    echo "}"
  } > "$work/nginx.conf"
}
