#include "graphics/Bitmap.h"

#include <algorithm>
#include <cstring>

int BitsPerPixel(TPixelFormat format) {
    switch (format) {
    case TPixelFormat::pf1bit:
        return 1;
    case TPixelFormat::pf4bit:
        return 4;
    case TPixelFormat::pf8bit:
        return 8;
    case TPixelFormat::pf15bit:
    case TPixelFormat::pf16bit:
        return 16;
    case TPixelFormat::pf24bit:
        return 24;
    case TPixelFormat::pf32bit:
        return 32;
    }
    return 32;
}

int64_t RasterRowBytes(int64_t width, int bitsPerPixel) {
    if (width < 0 || width > (int64_t(1) << 31)) return -1;
    int64_t bytes = (width * bitsPerPixel + 31) / 32 * 4;
    return bytes > INT32_MAX ? -1 : bytes;
}

TBitmap::TBitmap() : FImage(std::make_shared<TBitmapImage>()) {}

void TBitmap::Assign(const TBitmap& source) {
    if (&source == this) return;
    FImage = source.FImage;
    Changed();
}

void TBitmap::Unshare() {
    if (FImage.use_count() > 1) FImage = std::make_shared<TBitmapImage>(*FImage);
}

void TBitmap::Reallocate(int width, int height, TPixelFormat format) {
    int64_t pixels = CheckedPixelCount(width, height);
    int64_t rowBytes = RasterRowBytes(width, BitsPerPixel(format));
    if (pixels < 0 || rowBytes < 0)
        throw EOutOfMemory(Format("Bitmap of %d x %d pixels is too large", width, height));
    Unshare();
    TBitmapImage& image = *FImage;
    image.Bits.assign(static_cast<size_t>(rowBytes * height), 0);
    image.Bits.shrink_to_fit();
    image.Width = width;
    image.Height = height;
    image.PixelFormat = format;
    image.RowBytes = static_cast<int>(rowBytes);
}

void TBitmap::SetSize(int width, int height) {
    if (width == Width() && height == Height()) return;
    Reallocate(width, height, PixelFormat());
    Changed();
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format == PixelFormat()) return;
    Reallocate(Width(), Height(), format);
    Changed();
}

void TBitmap::SetPalette(std::vector<TPaletteEntry> palette) {
    Unshare();
    FImage->Palette = std::move(palette);
    SetPaletteModified(true);
    Changed();
}

void TBitmap::SetHasAlpha(bool value) {
    if (value == HasAlpha()) return;
    Unshare();
    FImage->HasAlpha = value;
    Changed();
}

uint8_t* TBitmap::ScanLine(int y) {
    if (y < 0 || y >= Height()) throw EInvalidGraphicOperation("Scan line index out of range");
    Unshare();
    return FImage->Bits.data() + static_cast<size_t>(y) * static_cast<size_t>(FImage->RowBytes);
}

const uint8_t* TBitmap::ScanLine(int y) const {
    if (y < 0 || y >= Height()) throw EInvalidGraphicOperation("Scan line index out of range");
    return FImage->Bits.data() + static_cast<size_t>(y) * static_cast<size_t>(FImage->RowBytes);
}

namespace {

TColor32 PaletteColor(const std::vector<TPaletteEntry>& palette, unsigned index) {
    if (index >= palette.size()) return 0xFF000000;
    const TPaletteEntry& e = palette[index];
    return MakeColor32(e.Red, e.Green, e.Blue);
}

uint8_t Expand5(unsigned v) {
    return static_cast<uint8_t>((v << 3) | (v >> 2));
}
uint8_t Expand6(unsigned v) {
    return static_cast<uint8_t>((v << 2) | (v >> 4));
}

void IndexedRow(const uint8_t* row, int width, int bits, const std::vector<TPaletteEntry>& palette,
                TColor32* out) {
    const int perByte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    for (int x = 0; x < width; ++x) {
        int shift = 8 - bits * (x % perByte + 1);
        out[x] = PaletteColor(palette, (row[x / perByte] >> shift) & mask);
    }
}

} // namespace

void TBitmap::RowToColor32(int y, TColor32* out) const {
    const uint8_t* row = ScanLine(y);
    const int width = Width();
    const TBitmapImage& image = *FImage;
    switch (image.PixelFormat) {
    case TPixelFormat::pf1bit:
        IndexedRow(row, width, 1, image.Palette, out);
        break;
    case TPixelFormat::pf4bit:
        IndexedRow(row, width, 4, image.Palette, out);
        break;
    case TPixelFormat::pf8bit:
        for (int x = 0; x < width; ++x)
            out[x] = PaletteColor(image.Palette, row[x]);
        break;
    case TPixelFormat::pf15bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = row[2 * x] | row[2 * x + 1] << 8;
            out[x] = MakeColor32(Expand5((v >> 10) & 31), Expand5((v >> 5) & 31), Expand5(v & 31));
        }
        break;
    case TPixelFormat::pf16bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = row[2 * x] | row[2 * x + 1] << 8;
            out[x] = MakeColor32(Expand5((v >> 11) & 31), Expand6((v >> 5) & 63), Expand5(v & 31));
        }
        break;
    case TPixelFormat::pf24bit:
        for (int x = 0; x < width; ++x, row += 3)
            out[x] = MakeColor32(row[2], row[1], row[0]);
        break;
    case TPixelFormat::pf32bit:
        std::memcpy(out, row, static_cast<size_t>(width) * 4);
        if (!image.HasAlpha)
            for (int x = 0; x < width; ++x)
                out[x] |= 0xFF000000;
        break;
    }
}

TColor32 TBitmap::Pixel(int x, int y) const {
    if (x < 0 || x >= Width()) throw EInvalidGraphicOperation("Pixel index out of range");
    std::vector<TColor32> row(static_cast<size_t>(Width()));
    RowToColor32(y, row.data());
    return row[static_cast<size_t>(x)];
}

namespace {

TColor32 Blend(TColor32 under, TColor32 over) {
    unsigned a = over >> 24;
    if (a == 255) return over;
    if (a == 0) return under;
    auto mix = [a](unsigned d, unsigned s) { return (d * (255 - a) + s * a + 127) / 255; };
    return MakeColor32(static_cast<uint8_t>(mix((under >> 16) & 255, (over >> 16) & 255)),
                       static_cast<uint8_t>(mix((under >> 8) & 255, (over >> 8) & 255)),
                       static_cast<uint8_t>(mix(under & 255, over & 255)), static_cast<uint8_t>(under >> 24));
}

} // namespace

void TBitmap::StretchDraw(TCanvas& canvas, const TRect& rect, bool blend) const {
    if (Empty() || rect.IsEmpty()) return;
    const int64_t dw = rect.Width(), dh = rect.Height();
    const int x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, canvas.Width());
    const int y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, canvas.Height());
    if (x0 >= x1 || y0 >= y1) return;
    // Source column of every destination column, computed once: nearest
    // neighbour drops or repeats columns and never blends.
    std::vector<int> columns(static_cast<size_t>(x1 - x0));
    for (int x = x0; x < x1; ++x)
        columns[static_cast<size_t>(x - x0)] = int((x - rect.Left) * Width() / dw);
    std::vector<TColor32> source(static_cast<size_t>(Width()));
    int loadedRow = -1;
    for (int y = y0; y < y1; ++y) {
        int sy = int((y - rect.Top) * Height() / dh);
        if (sy != loadedRow) {
            RowToColor32(sy, source.data());
            loadedRow = sy;
        }
        TColor32* out = canvas.ScanLine(y) + x0;
        if (blend)
            for (size_t i = 0; i < columns.size(); ++i)
                out[i] = Blend(out[i], source[size_t(columns[i])]);
        else
            for (size_t i = 0; i < columns.size(); ++i)
                out[i] = source[size_t(columns[i])] | 0xFF000000;
    }
}

void TBitmap::DrawInRect(TCanvas& canvas, const TRect& rect) {
    StretchDraw(canvas, rect, false);
}

void TBitmap::ReadPicture(TStream& stream) {
    (void)stream;
    throw EInvalidGraphic("Bitmap image is not valid");
}
