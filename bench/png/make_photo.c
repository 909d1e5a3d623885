/* Writes a deterministic photo-like PNG: broad light and shade, soft bands
 * and grain, as 8-bit RGB or RGBA, straight or Adam7-interlaced. The rows
 * take the five filter types in turn, so every filter is measured and not
 * only the one an encoder's heuristic would prefer. zlib level 6, image data
 * in 8 KiB IDAT chunks as libpng writes them.
 * Usage: make_photo OUT WIDTH HEIGHT rgb|rgba interlaced(0|1) */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

static uint32_t seed = 12345u;
static int noise(void) {
    seed = seed * 1664525u + 1013904223u;
    return (int)((seed >> 24) & 15) - 8;
}

static uint8_t clamp(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

static void put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24), p[1] = (uint8_t)(v >> 16), p[2] = (uint8_t)(v >> 8), p[3] = (uint8_t)v;
}

static void chunk(FILE* f, const char* type, const uint8_t* data, uint32_t length) {
    uint8_t head[8], crc[4];
    put32(head, length);
    memcpy(head + 4, type, 4);
    uLong c = crc32(0, (const Bytef*)type, 4);
    if (length) c = crc32(c, data, length); /* a null buffer would restart the CRC */
    put32(crc, (uint32_t)c);
    fwrite(head, 1, 8, f);
    fwrite(data, 1, length, f);
    fwrite(crc, 1, 4, f);
}

static int paeth(int a, int b, int c) {
    int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

/* Appends one filtered row (filter byte first) to out. */
static uint8_t* filter_row(uint8_t* out, int type, const uint8_t* row, const uint8_t* above, size_t n, int bpp) {
    *out++ = (uint8_t)type;
    for (size_t i = 0; i < n; i++) {
        int a = i >= (size_t)bpp ? row[i - bpp] : 0, b = above ? above[i] : 0;
        int c = above && i >= (size_t)bpp ? above[i - bpp] : 0;
        int predictions[5] = {0, a, b, (a + b) / 2, paeth(a, b, c)};
        *out++ = (uint8_t)(row[i] - predictions[type]);
    }
    return out;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s OUT WIDTH HEIGHT rgb|rgba interlaced\n", argv[0]);
        return 2;
    }
    const int w = atoi(argv[2]), h = atoi(argv[3]), alpha = strcmp(argv[4], "rgba") == 0;
    const int interlaced = atoi(argv[5]), channels = alpha ? 4 : 3;
    uint8_t* image = malloc((size_t)w * h * channels);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint8_t* p = image + ((size_t)y * w + x) * channels;
            int base = (x * 160 / w) + (y * 80 / h), band = (x / 7 + y / 5) % 64;
            p[0] = clamp(base + band / 2 + noise());
            p[1] = clamp(200 - base / 2 + (y % 97) / 3 + noise());
            p[2] = clamp(60 + (x % 311) / 3 + band / 4 + noise());
            if (alpha) p[3] = clamp(255 - (x * y) / (w * h / 255 + 1) + noise());
        }

    static const int passes[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                     {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    static const int straight[4] = {0, 1, 0, 1};
    uint8_t* raw = malloc((size_t)h * (w * channels + 1) * 2);
    uint8_t *out = raw, *row = malloc((size_t)w * channels), *above = malloc((size_t)w * channels);
    int turn = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); p++) {
        const int* pass = interlaced ? passes[p] : straight;
        int first = 1;
        for (int y = pass[2]; y < h; y += pass[3]) {
            size_t n = 0;
            for (int x = pass[0]; x < w; x += pass[1], n += channels)
                memcpy(row + n, image + ((size_t)y * w + x) * channels, channels);
            if (n == 0) break;
            out = filter_row(out, turn++ % 5, row, first ? NULL : above, n, channels);
            memcpy(above, row, n);
            first = 0;
        }
    }
    uLongf zlength = compressBound((uLong)(out - raw));
    uint8_t* z = malloc(zlength);
    if (compress2(z, &zlength, raw, (uLong)(out - raw), 6) != Z_OK) return 1;

    FILE* f = fopen(argv[1], "wb");
    if (!f) return 1;
    fwrite("\x89PNG\r\n\x1a\n", 1, 8, f);
    uint8_t ihdr[13];
    put32(ihdr, (uint32_t)w);
    put32(ihdr + 4, (uint32_t)h);
    ihdr[8] = 8, ihdr[9] = alpha ? 6 : 2, ihdr[10] = 0, ihdr[11] = 0, ihdr[12] = (uint8_t)interlaced;
    chunk(f, "IHDR", ihdr, 13);
    for (uLongf at = 0; at < zlength; at += 8192)
        chunk(f, "IDAT", z + at, (uint32_t)(zlength - at < 8192 ? zlength - at : 8192));
    chunk(f, "IEND", NULL, 0);
    fclose(f);
    free(image), free(raw), free(row), free(above), free(z);
    return 0;
}
