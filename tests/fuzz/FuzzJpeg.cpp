// JPEG files through libjpeg: header facts at load, the deferred decode at
// the first drawing, at every scale, and rows decoded straight into a sink.
// The last byte picks the scale, the colour form and the rows: libjpeg
// ignores what follows the end marker, so a seed stays a valid file whatever
// that byte is.

#include "FuzzPictures.h"
#include "graphics/JPEGImage.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TJPEGImage jpeg;
    const uint8_t last = size ? data[size - 1] : 0;
    jpeg.Settings.Scale = static_cast<TJPEGScale>(last & 3);
    jpeg.Settings.Grayscale = (last & 4) != 0;
    jpeg.Settings.Performance = (last & 8) ? TJPEGPerformance::jpBestSpeed : TJPEGPerformance::jpBestQuality;
    if (fuzz::Refused([&] { fuzz::ReadPictureFrom(jpeg, data, size); })) return 0;
    if (last & 16) {
        // Straight into rows, as quillora-pic decodes: one row's memory, reused.
        struct TOneRow : TJPEGRowSink {
            std::vector<uint8_t> Row;
            void Start(int width, int) override { Row.assign(size_t(width) * 4, 0); }
            uint8_t* NextRow() override { return Row.data(); }
        } rows;
        fuzz::Refused([&] { jpeg.DecodeRgbaRows(rows); });
    }
    fuzz::Refused([&] { jpeg.DIBNeeded(); });
    if (fuzz::DrawingWanted()) fuzz::Refused([&] { fuzz::DrawEveryWay(jpeg); });
    return 0;
}
