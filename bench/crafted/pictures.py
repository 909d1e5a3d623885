# Picture files that claim large rasters: cut short, hostile, or simply big.
# Usage: pictures.py OUTPUT_FOLDER   (needs cjpeg for the JPEG files)
import os, struct, subprocess, sys, zlib

def bmp(width, height, bits, pixels=b"", palette=b"", compression=0):
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, 0, 2835, 2835,
                       len(palette) // 4, 0) + palette
    return b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 14 + len(info)) + info + pixels

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

def png(width, height, rows):
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    raw = b"".join(b"\0" + bytes(width * 4) for _ in range(rows))
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", zlib.compress(raw))
            + png_chunk(b"IEND", b""))

def ico(image, width=0, height=0):
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", width, height, 0, 0, 1, 32, len(image), 22) + image

def jpeg_segments(data):
    i, out = 2, []
    while i < len(data):
        marker = data[i + 1]
        if marker == 0xD9:
            out.append((marker, data[i:i + 2]))
            break
        end = i + 2 + struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker == 0xDA:  # entropy data runs to the next marker
            while not (data[end] == 0xFF and data[end + 1] != 0 and not 0xD0 <= data[end + 1] <= 0xD7):
                end += 1
        out.append((marker, data[i:end]))
        i = end
    return out

def progressive(width, height, scans, sampling):
    """A 16 x 16 progressive JPEG whose frame claims width x height and whose
    last scan is repeated (without its data) up to the given number of scans."""
    ppm = b"P6\n16 16\n255\n" + bytes((x * 7 + y * 3) & 255 for y in range(16) for x in range(48))
    small = subprocess.run(["cjpeg", "-progressive", "-sample", sampling], input=ppm, capture_output=True,
                           check=True).stdout
    segments = jpeg_segments(small)
    sos = [s for m, s in segments if m == 0xDA]
    bare = sos[-1][:2 + struct.unpack(">H", sos[-1][2:4])[0]]
    out = b"\xFF\xD8"
    for marker, s in segments:
        if marker == 0xC2:
            s = s[:5] + struct.pack(">HH", height, width) + s[9:]
        if marker == 0xDA:
            continue
        if marker == 0xD9:
            out += sos[0] + bare * (scans - 1)
        out += s
    return out

files = {
    # 2^24 x 16 pixels at one bit: 62 bytes, no rows at all.
    "bmp-wide-62-bytes.bmp": bmp(1 << 24, 16, 1, palette=b"\0\0\0\0\xff\xff\xff\0"),
    # 16384 x 16384 at 32 bits (1 GiB of raster) with 1 KiB of rows.
    "bmp-1gib-cut-short.bmp": bmp(16384, 16384, 32, pixels=bytes(1024)),
    # Run-length data for 16384 x 16384 at 8 bits that ends after one run.
    "bmp-rle-256mib-cut-short.bmp": bmp(16384, 16384, 8, pixels=b"\x10\x01\x00\x01", palette=bytes(1024),
                                        compression=1),
    # A whole 8000 x 4000 picture at 24 bits: 96 MB of file and of raster.
    "bmp-96mb-whole.bmp": bmp(8000, 4000, 24, pixels=bytes(range(256)) * (8000 * 3 * 4000 // 256)),
    # An icon whose PNG claims 16384 x 16384.
    "ico-png-16384.ico": ico(png(16384, 16384, 4)),
    # Progressive JPEG: 16384 x 16384 claimed, full and halved colour resolution.
    "jpeg-16384-444.jpg": progressive(16384, 16384, 12, "1x1"),
    "jpeg-16384-420.jpg": progressive(16384, 16384, 12, "2x2"),
    # Many scans over 4096 x 4096, and more scans than any real file has.
    "jpeg-4096-200-scans.jpg": progressive(4096, 4096, 200, "2x2"),
    "jpeg-16-1000-scans.jpg": progressive(16, 16, 1000, "2x2"),
}
for name, data in files.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
