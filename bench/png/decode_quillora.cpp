// The program's own PNG reader on one file, timed around LoadFile (opening
// and reading the file, as the program does it) in processor time. Prints the milliseconds of the
// timed decode, then a hash of the raster rows for comparing with libpng's.
// Usage: decode_quillora FILE
#include "graphics/PNGGraphic.h"

#include <cstdio>
#include <ctime>

namespace {

// Processor time of this process: the machine may be busy with other work.
double CpuMilliseconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double DecodeOnce(const char* path, TPNGGraphic& picture) {
    const double start = CpuMilliseconds();
    picture.LoadFile(path);
    return CpuMilliseconds() - start;
}

uint64_t RasterHash(const TPNGGraphic& picture) {
    const size_t rowBytes = size_t(picture.Width()) * size_t(BitsPerPixel(picture.PixelFormat()) / 8);
    uint64_t hash = 1469598103934665603ull;
    for (int y = 0; y < picture.Height(); ++y) {
        const uint8_t* row = picture.ScanLine(y);
        for (size_t i = 0; i < rowBytes; ++i)
            hash = (hash ^ row[i]) * 1099511628211ull;
    }
    return hash;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    try {
        {
            // Gone before the timed run, as libpng's warm-up raster is.
            TPNGGraphic warmUp;
            DecodeOnce(argv[1], warmUp);
        }
        TPNGGraphic picture;
        const double ms = DecodeOnce(argv[1], picture);
        std::printf("%.3f %016llx\n", ms, static_cast<unsigned long long>(RasterHash(picture)));
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
    return 0;
}
