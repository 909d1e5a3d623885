#!/usr/bin/env bash
# JPEG decoding: quillora-pic against djpeg on the same large photo-like
# picture (4000 x 3000, quality 90). Both decode with the same libjpeg and
# write their uncompressed pixels (PAM for quillora-pic, PPM for djpeg) to
# /dev/null, so that only decoding and what follows it in memory is measured;
# the medians of alternating runs are compared, target: quillora-pic at most
# 1.0 x djpeg. The machine's load before and after is printed with them: on a
# busy machine the wall-clock figures wander, the CPU times much less.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
pic="$build/bin/quillora-pic"
[ -x "$pic" ] || cmake --build "$build" --target quillora-pic -j 2 >/dev/null
work="$build/bench-jpeg"
mkdir -p "$work"
photo="$work/photo-4000x3000.jpg"

if [ ! -s "$photo" ]; then
  # Smooth gradients with fine deterministic grain, so the file has the
  # size and entropy of a photograph rather than of a flat test card.
  python3 - "$work/photo.ppm" <<'PY'
import sys
w, h = 4000, 3000
seed = 12345
noise = bytearray(65536)
for i in range(len(noise)):
    seed = (seed * 1103515245 + 12345) & 0x7fffffff
    noise[i] = (seed >> 16) & 31
with open(sys.argv[1], "wb") as out:
    out.write(b"P6\n%d %d\n255\n" % (w, h))
    base = bytearray(w * 3)
    for x in range(w):
        base[3 * x] = (x * 200 // w) & 255
        base[3 * x + 1] = (64 + x * 100 // w) & 255
        base[3 * x + 2] = (200 - x * 150 // w) & 255
    for y in range(h):
        shift = y * 180 // h
        row = bytes((b + shift) & 255 for b in base)
        off = (y * 7919) % (65536 - w * 3) if w * 3 < 65536 else 0
        row = bytes(a ^ b for a, b in zip(row, bytes(noise[off:off + w * 3]) * 2))
        out.write(row[: w * 3])
PY
  cjpeg -quality 90 "$work/photo.ppm" > "$photo"
  rm -f "$work/photo.ppm"
fi

# Alternating runs, so that a burst of load on the machine (it is shared)
# hits both sides alike; wall-clock and CPU time (user + system) medians.
python3 - "$pic" "$photo" <<'PY'
import os, resource, statistics, subprocess, sys, time
pic, photo = sys.argv[1:3]
commands = {
    "quillora-pic": [pic, photo, "-o", "/dev/null"],
    "djpeg -pnm": ["djpeg", "-pnm", "-outfile", "/dev/null", photo],
}
def run(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
load_before = os.getloadavg()[0]
for cmd in commands.values():
    for _ in range(2):
        run(cmd)
wall = {name: [] for name in commands}
cpu = {name: [] for name in commands}
for _ in range(21):
    for name, cmd in commands.items():
        w, c = run(cmd)
        wall[name].append(w)
        cpu[name].append(c)
for label, table in (("wall", wall), ("cpu", cpu)):
    ours = statistics.median(table["quillora-pic"])
    ref = statistics.median(table["djpeg -pnm"])
    print(f"{label}: quillora-pic median {ours*1000:.1f} ms, djpeg -pnm median {ref*1000:.1f} ms, "
          f"ratio {ours/ref:.3f} (target <= 1.0)")
print(f"load average (1 min): {load_before:.2f} before, {os.getloadavg()[0]:.2f} after, on {os.cpu_count()} cores")
PY
