// Peak memory of loading crafted PNG files: each file is built in memory and
// loaded in a child process of its own, whose peak resident size (VmHWM)
// minus its size before the load is printed with the raster's size and the
// outcome. A load may take its raster plus 64 MiB of working memory.
// Usage: peak_memory
#include "graphics/PNGGraphic.h"

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
    return Be32(uint32_t(data.size())) + body + Be32(crc);
}

std::string Deflate(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
              uLong(raw.size()), 9);
    out.resize(size);
    return out;
}

std::string Png(uint32_t w, uint32_t h, int depth, int colorType, const std::string& idat) {
    const std::string header = Be32(w) + Be32(h) + std::string{char(depth), char(colorType), 0, 0, 0};
    return "\x89PNG\r\n\x1a\n" + Chunk("IHDR", header) + Chunk("IDAT", idat) + Chunk("IEND", "");
}

long ResidentKiB(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, std::strlen(field)) == 0) kib = std::atol(line + std::strlen(field));
    if (f) std::fclose(f);
    return kib;
}

void Measure(const char* what, const std::string& file, double rasterMiB) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const long before = ResidentKiB("VmRSS:");
        std::string outcome = "loaded";
        try {
            TStringStream stream(file);
            TPNGGraphic picture;
            picture.ReadPicture(stream);
        } catch (const Exception& e) {
            outcome = e.Message();
        }
        const long peak = ResidentKiB("VmHWM:");
        std::printf("%-44s %8zu %10.1f %10.1f  %s\n", what, file.size(), rasterMiB, (peak - before) / 1024.0,
                    outcome.c_str());
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace

int main() {
    std::printf("%-44s %8s %10s %10s  %s\n", "file", "bytes", "raster MiB", "peak MiB", "outcome");
    // One zero row byte whose stream lacks its checksum: the data ends there.
    const std::string full = Deflate(std::string(1, '\0'));
    const std::string empty = full.substr(0, full.size() - 4);
    Measure("2^28 x 1, 16-bit RGBA (rows of 2 GiB)", Png(1u << 28, 1, 16, 6, empty), 1024);
    Measure("2^28 x 1, 8-bit RGBA (rows of 1 GiB)", Png(1u << 28, 1, 8, 6, empty), 1024);
    Measure("2^24 x 1, 8-bit RGBA (rows of 64 MiB)", Png(1u << 24, 1, 8, 6, empty), 64);
    Measure("2^22 x 1, 8-bit RGBA (rows of 16 MiB)", Png(1u << 22, 1, 8, 6, empty), 16);
    Measure("16384 x 16384 RGBA, one byte of data", Png(16384, 16384, 8, 6, empty), 1024);
    Measure("16384 x 16384 RGBA, cut stream", Png(16384, 16384, 8, 6, full.substr(0, 2)), 1024);
    const std::string zeros = Deflate(std::string(size_t(4096) * (4096 * 4 + 1), '\0'));
    Measure("4096 x 4096 RGBA, all data (zeros)", Png(4096, 4096, 8, 6, zeros), 64);
    return 0;
}
