#!/usr/bin/env bash
# Runs every benchmark script of this folder against the given build.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
for b in "$here"/bench_*.sh; do
  [ -e "$b" ] || continue
  echo "== $(basename "$b")"
  bash "$b" "$build"
done
