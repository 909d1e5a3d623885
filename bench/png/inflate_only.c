/* The floor under any PNG reader built on zlib: the time zlib's inflate
 * alone takes over a file's image data (the IDAT chunks joined, raw deflate,
 * no checksum, a 256 KiB output block as the program's reader uses), in
 * processor time, after one warm-up run. Prints the milliseconds.
 * Usage: inflate_only FILE */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static uint32_t be32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static double inflate_all(const unsigned char* data, size_t size, unsigned char* block, size_t blockBytes) {
    const double start = now_ms();
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) exit(1);
    z.next_in = (unsigned char*)data + 2; /* past the zlib header */
    z.avail_in = (uInt)(size - 2);
    int result;
    do {
        z.next_out = block;
        z.avail_out = (uInt)blockBytes;
        result = inflate(&z, Z_NO_FLUSH);
    } while (result == Z_OK);
    inflateEnd(&z);
    if (result != Z_STREAM_END) {
        fprintf(stderr, "inflate_only: the image data does not inflate\n");
        exit(1);
    }
    return now_ms() - start;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* f = fopen(argv[1], "rb");
    if (!f) return 1;
    fseek(f, 0, SEEK_END);
    const long length = ftell(f);
    rewind(f);
    unsigned char* file = malloc((size_t)length);
    unsigned char* data = malloc((size_t)length);
    if (!file || !data || fread(file, 1, (size_t)length, f) != (size_t)length) return 1;
    fclose(f);
    size_t size = 0;
    for (long at = 8; at + 12 <= length;) {
        const uint32_t chunk = be32(file + at);
        if (chunk > (uint32_t)(length - at - 12)) break;
        if (memcmp(file + at + 4, "IDAT", 4) == 0) {
            memcpy(data + size, file + at + 8, chunk);
            size += chunk;
        }
        at += 12 + (long)chunk;
    }
    if (size < 2) return 1;
    const size_t blockBytes = 256 * 1024;
    unsigned char* block = malloc(blockBytes);
    inflate_all(data, size, block, blockBytes);
    printf("%.3f\n", inflate_all(data, size, block, blockBytes));
    return 0;
}
