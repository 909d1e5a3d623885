#!/usr/bin/env bash
# Starts the bundled sample album service on a free loopback port and the
# program with http_proxy and https_proxy pointing at it, trusting the CA of
# the service's https certificate (SSL_CERT_FILE); stops the service when the
# window closes. Without a display it says how to run under Xvfb.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/$build/bin/QuilloraDownLoad"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  cat >&2 <<TXT
No display found (DISPLAY is not set), so the window cannot be shown.
Run it under a virtual display instead:
    xvfb-run -a -s '-screen 0 1280x1024x24' make run
or, to look at it from outside, start 'Xvfb :99 &' and then 'DISPLAY=:99 make run'.
TXT
  exit 1
fi

portfile=$(mktemp)
cafile=$(mktemp)
rm -f "$portfile"
python3 "$root/tools/sample-service/service.py" --port-file "$portfile" --tls-ca "$cafile" >/dev/null &
service=$!
trap 'kill $service 2>/dev/null || true; rm -f "$portfile" "$cafile"' EXIT
for _ in $(seq 1 100); do
  [ -s "$portfile" ] && break
  sleep 0.05
done
port=$(cat "$portfile")
echo "sample album service on 127.0.0.1:$port (account: quillora; over https: secure)"
cd "$root/$build/bin"
http_proxy="http://127.0.0.1:$port" https_proxy="http://127.0.0.1:$port" no_proxy= SSL_CERT_FILE="$cafile" "$program"
