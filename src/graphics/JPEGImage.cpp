#include "graphics/JPEGImage.h"

TJPEGDefaults& JPEGDefaults() {
    static TJPEGDefaults defaults;
    return defaults;
}

TJPEGImage::TJPEGImage() : Settings(JPEGDefaults()) {}
TJPEGImage::~TJPEGImage() = default;
void TJPEGImage::Assign(const TJPEGImage& source) {
    FImage = source.FImage;
    FBitmap.reset();
}
void TJPEGImage::DrawInRect(TCanvas&, const TRect&) {}
int TJPEGImage::Width() const {
    return 0;
}
int TJPEGImage::Height() const {
    return 0;
}
void TJPEGImage::SetWidth(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}
void TJPEGImage::SetHeight(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}
void TJPEGImage::ReadPicture(TStream&) {
    throw EJPEG("JPEG error #53");
}
void TJPEGImage::DIBNeeded() {}
