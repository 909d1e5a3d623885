#include "graphics/Graphics.h"

#include <algorithm>

TCanvas::TCanvas(int width, int height, TColor32 fill) {
    int64_t count = CheckedPixelCount(width, height);
    if (count < 0) throw EOutOfMemory(Format("Canvas of %d x %d pixels is too large", width, height));
    FOwned.assign(static_cast<size_t>(count), fill);
    FPixels = FOwned.data();
    FWidth = width;
    FHeight = height;
    FStride = width;
}

TCanvas::TCanvas(TColor32* pixels, int width, int height, int stride)
    : FPixels(pixels), FWidth(std::max(width, 0)), FHeight(std::max(height, 0)), FStride(stride) {}

void TCanvas::Fill(TColor32 color) {
    for (int y = 0; y < FHeight; ++y)
        std::fill_n(ScanLine(y), FWidth, color);
}

int64_t CheckedPixelCount(int64_t width, int64_t height) {
    if (width < 0 || height < 0) return -1;
    if (width != 0 && height > MaxRasterPixels / width) return -1;
    return width * height;
}

void TGraphic::Changed() {
    FModified = true;
    if (OnChange) OnChange(*this);
}

void TGraphic::SetTransparent(bool value) {
    if (value == FTransparent) return;
    FTransparent = value;
    Changed();
}

void TGraphic::Progress(TProgressStage stage, int percentDone) {
    if (OnProgress) OnProgress(*this, stage, percentDone);
}

void TGraphic::ReadStoredData(TStream& stream) {
    uint8_t countBytes[4];
    stream.ReadBuffer(countBytes, 4);
    uint32_t count = uint32_t(countBytes[0]) | uint32_t(countBytes[1]) << 8 | uint32_t(countBytes[2]) << 16 |
                     uint32_t(countBytes[3]) << 24;
    // The count comes from the stored data: never trust it beyond what the stream holds.
    if (int64_t(count) > stream.Size() - stream.Position()) throw EReadError("Stream read error");
    TMemoryStream data;
    data.SetSize(count);
    stream.ReadBuffer(data.Memory(), count);
    data.SetPosition(0);
    ReadPicture(data);
}

void TGraphic::LoadFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    ReadPicture(file);
}
