#!/usr/bin/env bash
# Playing hostile metafiles of about 1 MB each (crafted/metafiles.py) into a
# thumbnail (140 x 137) and into a preview-sized rectangle (800 x 600), as
# quillora-pic --draw does it. Every file must play in under a second; the
# medians of three runs, in processor time (user + system) and wall-clock
# time, and the peak memory are reported.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
pic="$build/bin/quillora-pic"
[ -x "$pic" ] && [ -x "$build/bin/quillora-pic-qt" ] || cmake --build "$build" --target quillora-pic -j 2 >/dev/null
work="$build/bench-metafile"
mkdir -p "$work"
python3 "$here/crafted/metafiles.py" "$work"
python3 - "$pic" "$work" <<'PY'
import os, statistics, subprocess, sys, time
pic, work = sys.argv[1:3]
def run(cmd):
    start = time.perf_counter()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss
print(f"{'file':24} {'rectangle':>10} {'cpu ms':>8} {'wall ms':>8} {'peak MB':>8}")
worst = 0
for name in sorted(os.listdir(work)):
    if not name.endswith((".emf", ".wmf")):
        continue
    for w, h in ((140, 137), (800, 600)):
        runs = [run([pic, os.path.join(work, name), "-o", "/dev/null", "--draw", str(w), str(h)]) for _ in range(3)]
        cpu = statistics.median(r[1] for r in runs)
        wall = statistics.median(r[0] for r in runs)
        worst = max(worst, cpu)
        print(f"{name:24} {f'{w}x{h}':>10} {cpu*1000:8.0f} {wall*1000:8.0f} {runs[-1][2]/1024:8.0f}")
print(f"slowest: {worst*1000:.0f} ms of processor time (target < 1000 ms)")
PY
