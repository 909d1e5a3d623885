#pragma once
// TBitmap: a raster in one of the classic pixel formats, the BMP reader
// (with run-length decoding) and nearest-neighbour drawing into a canvas.
//
// Memory layout, as in a device-independent bitmap but top-down: row y is
// ScanLine(y), rows are RowBytes() apart (a multiple of 4). 1/4/8-bit pixels
// are palette indexes packed from the high bits; pf15bit is 5-5-5 and pf16bit
// 5-6-5 in a little-endian 16-bit word; pf24bit is blue, green, red; pf32bit is
// blue, green, red, then alpha (used only when HasAlpha()) or an unused byte.

#include "graphics/Graphics.h"

#include <memory>
#include <vector>

enum class TPixelFormat { pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };

int BitsPerPixel(TPixelFormat format);

struct TPaletteEntry {
    uint8_t Red = 0;
    uint8_t Green = 0;
    uint8_t Blue = 0;
    uint8_t Flags = 0;
};

// Pixel memory (or any large block of bytes), zeroed when allocated. Blocks
// of a huge page and more come straight from the kernel, already zero and on
// huge pages where it offers them: a big raster costs neither a clearing pass
// nor thousands of page faults, and rows never written cost no memory at all.
class TPixelBuffer {
  public:
    TPixelBuffer() = default;
    explicit TPixelBuffer(size_t size);
    TPixelBuffer(const TPixelBuffer& other);
    TPixelBuffer& operator=(const TPixelBuffer& other);
    TPixelBuffer(TPixelBuffer&& other) noexcept;
    TPixelBuffer& operator=(TPixelBuffer&& other) noexcept;
    ~TPixelBuffer();

    uint8_t* data() { return FData; }
    const uint8_t* data() const { return FData; }
    size_t size() const { return FSize; }

  private:
    void Release();
    uint8_t* FData = nullptr;
    size_t FSize = 0;
    void* FMapping = nullptr; // set when the block is a mapping of its own
    size_t FMappingSize = 0;
};

// The pixels and palette that copies of a bitmap share until one of them writes.
struct TBitmapImage {
    int Width = 0;
    int Height = 0;
    TPixelFormat PixelFormat = TPixelFormat::pf24bit;
    int RowBytes = 0;
    TPixelBuffer Bits;
    std::vector<TPaletteEntry> Palette;
    bool HasAlpha = false;
};

class TBitmap : public TGraphic {
  public:
    TBitmap();
    const char* ClassName() const override { return "TBitmap"; }

    // Shares the other bitmap's image; the first write unshares it.
    void Assign(const TBitmap& source);

    void DrawInRect(TCanvas& canvas, const TRect& rect) override;
    bool Empty() const override { return FImage->Width == 0 || FImage->Height == 0; }
    int Height() const override { return FImage->Height; }
    int Width() const override { return FImage->Width; }
    void SetHeight(int value) override { SetSize(Width(), value); }
    void SetWidth(int value) override { SetSize(value, Height()); }
    // Reads a BMP file (14-byte file header first). Zero bytes: an empty bitmap.
    void ReadPicture(TStream& stream) override;

    // New size; the pixels are cleared to zero. EOutOfMemory when the raster is too big.
    void SetSize(int width, int height);
    TPixelFormat PixelFormat() const { return FImage->PixelFormat; }
    // New format at the same size; the pixels are cleared to zero, not converted.
    void SetPixelFormat(TPixelFormat format);
    const std::vector<TPaletteEntry>& Palette() const { return FImage->Palette; }
    void SetPalette(std::vector<TPaletteEntry> palette);
    // A pf32bit raster whose fourth byte is alpha (PNG with alpha, icons).
    bool HasAlpha() const { return FImage->HasAlpha; }
    void SetHasAlpha(bool value);

    int RowBytes() const { return FImage->RowBytes; }
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    // Row y as 0xAARRGGBB pixels (out holds Width() of them). An index past
    // the palette reads as black; alpha is 255 unless HasAlpha().
    void RowToColor32(int y, TColor32* out) const;
    TColor32 Pixel(int x, int y) const;
    // The pixels of row y at the given columns, as RowToColor32 would give them.
    void SampleRow(int y, const int* columns, size_t count, TColor32* out) const;

    // Draws the raster scaled into rect (nearest neighbour, clipped to the
    // canvas), mixing by alpha when blend is set, else copying opaque pixels.
    void StretchDraw(TCanvas& canvas, const TRect& rect, bool blend) const;

  private:
    void Unshare();
    void Reallocate(int width, int height, TPixelFormat format);

    std::shared_ptr<TBitmapImage> FImage;
};

// For each position i of [from, to): the source index (i - start) * length / span,
// which maps span positions from start onto length source pixels.
std::vector<int> NearestSourceIndexes(int from, int to, int64_t start, int64_t span, int length);

// Row length of a raster in bytes, rounded up to 4; -1 when it would not fit an int.
int64_t RasterRowBytes(int64_t width, int bitsPerPixel);

// Device-independent bitmaps held inside other files (icons, metafiles) are
// read by putting the 14-byte "BM" file header in front of them: the file's
// size and where its bits start.
void WriteBmpFileHeader(TStream& stream, uint32_t fileSize, uint32_t bitsOffset);
