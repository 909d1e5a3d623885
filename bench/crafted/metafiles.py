# Hostile metafiles of about 1 MB, each costly to play in its own way: huge
# bitmaps in tiny records, the whole destination filled again and again, a
# clip path that grows at every record, long texts, a zigzag polygon.
# Usage: metafiles.py OUTPUT_FOLDER
import struct, sys, os
MB = 1 << 20
def emf(records):
    body = b"".join(struct.pack("<II", t, 8 + len(b)) + b for t, b in records)
    body += struct.pack("<II", 14, 20) + struct.pack("<III", 0, 16, 20)
    hdr = struct.pack("<II", 1, 100) + struct.pack("<8i", 0, 0, 99, 99, 0, 0, 1000, 1000)
    hdr += struct.pack("<IIIIHH", 0x464D4520, 0x10000, 100 + len(body), len(records) + 1, 8, 0)
    hdr += struct.pack("<III", 0, 0, 0) + struct.pack("<4i", 1000, 1000, 100, 100) + struct.pack("<III", 0, 0, 0)
    assert len(hdr) == 100
    return hdr + body
def wmf(records, right=100, bottom=100):
    body = b"".join(struct.pack("<IH", 3 + len(b) // 2, f) + b for f, b in records) + struct.pack("<IH", 3, 0)
    p = struct.pack("<I5hH", 0x9AC6CDD7, 0, 0, 0, right, bottom, 96) + struct.pack("<I", 0)
    s = 0
    for i in range(0, 20, 2): s ^= struct.unpack("<H", p[i:i+2])[0]
    p += struct.pack("<H", s)
    return p + struct.pack("<HHHIHIH", 1, 9, 0x300, 9 + len(body) // 2, 4, 64, 0) + body
def dib_info(w, h, bits=1):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, 0, 0, 0, 0, 0) + (b"\0\0\0\0\xff\xff\xff\0" if bits == 1 else b"")
def fill(rec):
    return [rec] * (MB // (8 + len(rec[1])))
cases = {}
# StretchDIBits: a header claiming 4096 x 4096 pixels, no bits.
info = dib_info(4096, 4096)
sd = struct.pack("<4i", 0, 0, 99, 99) + struct.pack("<iiii", 0, 0, 0, 0) + struct.pack("<iiii", 4096, 4096, 80, len(info))
sd += struct.pack("<IIIIii", 80 + len(info), 0, 0, 0xCC0020, 100, 100) + info
cases["emf-stretchdib"] = emf(fill((81, sd)))
# Rectangles over the whole frame.
cases["emf-rectangles"] = emf(fill((43, struct.pack("<4i", 0, 0, 100, 100))))
# A clip region that grows by a rectangle at every step, a drawing after each.
recs = []
i = 0
size = 0
while size < MB:
    x, y = (i * 7) % 97, (i * 13) % 97
    rgn = struct.pack("<IIII", 32, 1, 1, 16) + struct.pack("<4i", 0, 0, 100, 100) + struct.pack("<4i", x, y, x + 2, y + 1)
    r1 = (75, struct.pack("<Ii", len(rgn), 2) + rgn)
    r2 = (43, struct.pack("<4i", 0, 0, 100, 100))
    recs += [r1, r2]; size += 8 + len(r1[1]) + 8 + len(r2[1]); i += 1
cases["emf-clipgrowth"] = emf(recs)
# Excluded rectangles: the clip path grows by subtraction.
recs = []
size = 0; i = 0
while size < MB:
    x, y = (i * 7) % 97, (i * 13) % 97
    recs += [(29, struct.pack("<4i", x, y, x + 1, y + 1)), (43, struct.pack("<4i", 0, 0, 100, 100))]
    size += 24 + 24; i += 1
cases["emf-excludeclip"] = emf(recs)
# Text: long strings in a big font.
text = "W" * 2000
et = struct.pack("<4iIff", 0, 0, 100, 100, 1, 1.0, 1.0) + struct.pack("<iiIII4iI", 0, 50, len(text), 76, 0, 0, 0, 0, 0, 0)
et += text.encode("utf-16-le")
font = struct.pack("<I5i8B", 1, -90, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0) + "Sans".encode("utf-16-le").ljust(64, b"\0")
recs = [(82, font), (37, struct.pack("<I", 1))] + [(84, et)] * (MB // (8 + len(et)))
cases["emf-text"] = emf(recs)
# One polygon of 130 000 points, zig-zag across the frame.
n = (MB - 100) // 8
pts = b"".join(struct.pack("<ii", (k * 37) % 100, (k * 59) % 100) for k in range(n))
cases["emf-polygon"] = emf([(3, struct.pack("<4iI", 0, 0, 100, 100, n) + pts)])
# Windows metafile: rectangles and a stretched DIB claiming 4096 x 4096.
cases["wmf-rectangles"] = wmf([(0x041B, struct.pack("<4h", 100, 100, 0, 0))] * (MB // 14))
dib = dib_info(4096, 4096)
# META_STRETCHDIB: rop(2 words), usage, srcH, srcW, ySrc, xSrc, destH, destW, yDst, xDst
sdb = struct.pack("<IH8h", 0xCC0020, 0, 4096, 4096, 0, 0, 100, 100, 0, 0) + dib
cases["wmf-stretchdib"] = wmf([(0x0F43, sdb)] * (MB // (6 + len(sdb))))
out = sys.argv[1]
for name, data in cases.items():
    ext = ".emf" if name.startswith("emf") else ".wmf"
    with open(os.path.join(out, name + ext), "wb") as f:
        f.write(data)
