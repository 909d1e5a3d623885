// PNG files: chunks, zlib data, every colour type and depth, interlacing,
// then drawing (with alpha blending where the file has alpha).

#include "FuzzPictures.h"
#include "graphics/PNGGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TPNGGraphic png;
    fuzz::ReadAndDraw(png, data, size);
    return 0;
}
