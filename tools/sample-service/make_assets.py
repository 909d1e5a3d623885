#!/usr/bin/env python3
"""Makes the sample service's pictures: deterministic landscapes, encoded by
cjpeg (JPEG) or by zlib (PNG). Run once; the results are kept in assets/."""
import math
import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "assets")

PALETTES = [  # sky top, sky bottom, hills, near ground, water
    ((70, 120, 200), (190, 215, 240), (80, 120, 85), (60, 95, 50), (70, 110, 170)),
    ((240, 120, 60), (250, 200, 130), (110, 80, 90), (70, 60, 60), (200, 120, 90)),
    ((40, 40, 90), (120, 90, 150), (50, 60, 90), (30, 40, 50), (60, 60, 120)),
    ((120, 180, 230), (230, 240, 250), (200, 200, 210), (150, 160, 170), (120, 150, 190)),
    ((90, 160, 120), (200, 230, 190), (90, 140, 60), (120, 100, 50), (80, 140, 130)),
]


def mix(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t) for i in range(3))


def landscape(seed, w, h):
    pal = PALETTES[seed % len(PALETTES)]
    f1, f2, ph = 40 + seed % 17, 13 + seed % 7, seed * 0.7
    hill = [int(h * (0.45 + 0.08 * math.sin(x / f1 + ph) + 0.04 * math.sin(x / f2 + 2 * ph))) for x in range(w)]
    ridge = [int(h * (0.62 + 0.05 * math.sin(x / (f1 * 0.7) + 3 * ph))) for x in range(w)]
    water = int(h * 0.8)
    sx, sy, sr = int(w * (0.2 + 0.6 * ((seed * 37) % 100) / 100)), int(h * 0.18), max(6, h // 14)
    rows = []
    for y in range(h):
        sky = mix(pal[0], pal[1], y / h)
        hills = mix(pal[2], pal[3], y / h)
        ground = mix(pal[3], pal[2], (y % 23) / 46)
        wat = mix(pal[4], pal[1], 0.3 + 0.3 * math.sin(y * 0.9 + ph))
        row = bytearray()
        for x in range(w):
            if y >= water:
                c = wat if (x + y * 3) % 11 else pal[1]
            elif y >= ridge[x]:
                c = ground
            elif y >= hill[x]:
                c = hills
            else:
                d2 = (x - sx) ** 2 + (y - sy) ** 2
                c = (255, 244, 210) if d2 < sr * sr else sky
            row += bytes(c)
        rows.append(bytes(row))
    return rows


def write_jpeg(path, rows, w, h, quality=88):
    ppm = b"P6\n%d %d\n255\n" % (w, h) + b"".join(rows)
    jpg = subprocess.run(["cjpeg", "-quality", str(quality), "-optimize"], input=ppm,
                         capture_output=True, check=True).stdout
    with open(path, "wb") as f:
        f.write(jpg)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def write_png(path, rows, w, h):
    raw = b"".join(b"\x00" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def main():
    os.makedirs(OUT, exist_ok=True)
    # Photos: 800 x 600 JPEGs, a few PNGs; thumbnails: 140 x 137.
    for i in range(1, 41):
        path = os.path.join(OUT, "photo-%02d.jpg" % i)
        if not os.path.exists(path):
            write_jpeg(path, landscape(i, 800, 600), 800, 600)
    for i in range(1, 4):
        path = os.path.join(OUT, "photo-%02d.png" % i)
        if not os.path.exists(path):
            write_png(path, landscape(100 + i, 400, 300), 400, 300)
    for i in range(1, 9):
        rows = landscape(200 + i, 140, 137)
        write_jpeg(os.path.join(OUT, "thumb-%02d.jpg" % i), rows, 140, 137)
        write_png(os.path.join(OUT, "thumb-%02d.png" % i), rows, 140, 137)
    # Large photos for the download benchmark (about 200 KB each).
    for i in range(1, 5):
        path = os.path.join(OUT, "large-%02d.jpg" % i)
        if not os.path.exists(path):
            write_jpeg(path, landscape(300 + i, 1280, 960), 1280, 960, quality=95)


if __name__ == "__main__":
    sys.exit(main())
