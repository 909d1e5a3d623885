// BMP files: core and info headers, colour tables, bit fields, RLE, then drawing.

#include "FuzzPictures.h"
#include "graphics/Bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TBitmap bitmap;
    fuzz::ReadAndDraw(bitmap, data, size);
    return 0;
}
