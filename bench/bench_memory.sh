#!/usr/bin/env bash
# Peak memory of loading pictures that claim large rasters (crafted/pictures.py)
# with quillora-pic, which loads, decodes and writes the raster (to /dev/null
# here). Loading may take the raster plus 64 MiB of working memory; a file cut
# short must not commit the memory it never fills.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
pic="$build/bin/quillora-pic"
[ -x "$pic" ] || cmake --build "$build" --target quillora-pic -j 2 >/dev/null
work="$build/bench-memory"
mkdir -p "$work"
python3 "$here/crafted/pictures.py" "$work"
python3 - "$pic" "$work" <<'PY'
import os, subprocess, sys, time
pic, work = sys.argv[1:3]
print(f"{'file':30} {'bytes':>10} {'peak MB':>8} {'cpu ms':>7} {'wall ms':>8}  result")
for name in sorted(os.listdir(work)):
    path = os.path.join(work, name)
    start = time.perf_counter()
    child = subprocess.Popen([pic, path, "-o", "/dev/null"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    error = child.stderr.read().decode(errors="replace").strip()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    cpu = usage.ru_utime + usage.ru_stime
    print(f"{name:30} {os.path.getsize(path):10} {usage.ru_maxrss / 1024:8.0f} {cpu * 1000:7.0f} "
          f"{wall * 1000:8.0f}  {error or 'loaded'}")
PY
