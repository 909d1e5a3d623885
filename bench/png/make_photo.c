/* Writes a deterministic photo-like PNG (smooth gradients plus noise) with
 * libpng, letting libpng pick among all five filter types per row.
 * Usage: make_photo OUT WIDTH HEIGHT rgb|rgba interlaced(0|1) */
#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t seed = 12345u;
static int noise(void) {
    seed = seed * 1664525u + 1013904223u;
    return (int)((seed >> 24) & 15) - 8;
}

static uint8_t clamp(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s OUT WIDTH HEIGHT rgb|rgba interlaced\n", argv[0]);
        return 2;
    }
    int w = atoi(argv[2]), h = atoi(argv[3]);
    int alpha = strcmp(argv[4], "rgba") == 0;
    int interlaced = atoi(argv[5]);
    int channels = alpha ? 4 : 3;
    FILE* f = fopen(argv[1], "wb");
    if (!f) return 1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) return 1;
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_ALL_FILTERS);
    png_set_compression_level(png, 6);
    png_write_info(png, info);
    uint8_t* image = malloc((size_t)w * h * channels);
    png_bytep* rows = malloc(sizeof(png_bytep) * h);
    for (int y = 0; y < h; y++) {
        uint8_t* row = image + (size_t)y * w * channels;
        rows[y] = row;
        for (int x = 0; x < w; x++) {
            /* Broad light and shade, a few soft bands, grain on top. */
            int base = (x * 160 / w) + (y * 80 / h);
            int band = ((x / 7 + y / 5) % 64);
            row[x * channels + 0] = clamp(base + band / 2 + noise());
            row[x * channels + 1] = clamp(200 - base / 2 + (y % 97) / 3 + noise());
            row[x * channels + 2] = clamp(60 + (x % 311) / 3 + band / 4 + noise());
            if (alpha) row[x * channels + 3] = clamp(255 - (x * y) / (w * h / 255 + 1) + noise());
        }
    }
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    fclose(f);
    return 0;
}
