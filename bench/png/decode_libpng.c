/* The raster libpng makes of a PNG, in the layout the program's reader makes:
 * 8-bit samples, blue-green-red(-alpha) order, interlacing resolved.
 * Decodes once to warm up, then once timed in processor time (file opening
 * included, as the other side); prints
 * the milliseconds and a hash of the raster rows, the same hash as
 * decode_quillora's. Usage: decode_libpng FILE */
#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct raster {
    png_bytep pixels;
    size_t stride;
    png_uint_32 height;
};

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static int decode(const char* path, struct raster* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return 1;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    png_bytep* volatile rows = NULL;
    out->pixels = NULL;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, NULL);
        fclose(f);
        free(out->pixels);
        free(rows);
        return 1;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out->height = png_get_image_height(png, info);
    out->stride = png_get_rowbytes(png, info);
    out->pixels = malloc(out->stride * out->height);
    rows = malloc(sizeof(png_bytep) * out->height);
    for (png_uint_32 y = 0; y < out->height; y++) rows[y] = out->pixels + out->stride * y;
    png_read_image(png, rows);
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    fclose(f);
    free(rows);
    return 0;
}

int main(int argc, char** argv) {
    struct raster r;
    if (argc != 2) return 2;
    if (decode(argv[1], &r)) {
        fprintf(stderr, "libpng failed on %s\n", argv[1]);
        return 1;
    }
    free(r.pixels);
    double t0 = now_ms();
    if (decode(argv[1], &r)) return 1;
    double elapsed = now_ms() - t0;
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < r.stride * r.height; i++) hash = (hash ^ r.pixels[i]) * 1099511628211ull;
    free(r.pixels);
    printf("%.3f %016llx\n", elapsed, (unsigned long long)hash);
    return 0;
}
