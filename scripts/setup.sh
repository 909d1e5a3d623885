#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and the
# demo need. Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ make pkg-config ccache
  qt6-base-dev libgl-dev zlib1g-dev libjpeg62-turbo-dev libgtest-dev
  # https: OpenSSL 3 (linked), the system's trust store, and the openssl
  # command that makes the sample service's and the benchmark's certificates
  libssl-dev openssl ca-certificates
  # quillora-get's command line and report
  libcli11-dev nlohmann-json3-dev
  # the archive (SQLite) and the SHA-256 of saved pictures (libcrypto)
  libsqlite3-dev libssl-dev
  # a CJK font, or every Chinese text renders as boxes
  fonts-wqy-microhei
  # tests and the demo: a display, real peers, the sample service
  xvfb xauth python3 curl wget nginx-light tinyproxy iproute2
  # a private network namespace whose IPv6 address silently drops SYNs (the address race)
  nftables
  # archives queried and checked as users do; accounts sharded over several runs
  sqlite3 parallel
  # fuzz targets: clang with libFuzzer and the sanitizers, and the symbolizer for their reports
  clang libclang-rt-dev llvm
  # benchmarks
  libpng-dev libjpeg-turbo-progs hyperfine time bc aria2
  # installing and packaging: the .deb, its checks, and driving the installed window
  dpkg-dev file lintian desktop-file-utils appstream xdotool
  # the tools' manual pages, shell completions, report schema and terminal display, and their checks
  man-db groff-base bash zsh fish python3-jsonschema tmux
  # quillora-get's offline gallery opened by a real browser (headless) in its test
  chromium
  # the terminal width table of quillora-get, generated from the Unicode data at build time
  unicode-data
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged nginx and tinyproxy start system-wide services on install; the
# tests run their own instances on free loopback ports instead.
for svc in nginx tinyproxy; do
  "${sudo_cmd[@]}" service "$svc" stop >/dev/null 2>&1 || true
done
