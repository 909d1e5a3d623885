#include "graphics/Bitmap.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

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

// ---- TPixelBuffer

namespace {
constexpr size_t HugePage = size_t(2) << 20;
constexpr size_t MapThreshold = HugePage;
} // namespace

TPixelBuffer::TPixelBuffer(size_t size) : FSize(size) {
    if (size == 0) return;
    if (size >= MapThreshold && size <= SIZE_MAX - 2 * HugePage) {
        // Whole huge pages, since the kernel fills a partial one at the end 4 KiB
        // at a fault; and one spare so that the block can start on a boundary.
        size_t mappingSize = (size + HugePage - 1) / HugePage * HugePage + HugePage;
        void* mapping =
            ::mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            auto start = (reinterpret_cast<uintptr_t>(mapping) + HugePage - 1) & ~(HugePage - 1);
            ::madvise(reinterpret_cast<void*>(start), mappingSize - HugePage, MADV_HUGEPAGE);
            FMapping = mapping;
            FMappingSize = mappingSize;
            FData = reinterpret_cast<uint8_t*>(start);
            return;
        }
    }
    FData = static_cast<uint8_t*>(std::calloc(size, 1));
    if (!FData) throw std::bad_alloc();
}

TPixelBuffer::TPixelBuffer(const TPixelBuffer& other) : TPixelBuffer(other.FSize) {
    if (FSize) std::memcpy(FData, other.FData, FSize);
}

TPixelBuffer& TPixelBuffer::operator=(const TPixelBuffer& other) {
    if (this != &other) *this = TPixelBuffer(other);
    return *this;
}

TPixelBuffer::TPixelBuffer(TPixelBuffer&& other) noexcept
    : FData(other.FData), FSize(other.FSize), FMapping(other.FMapping), FMappingSize(other.FMappingSize) {
    other.FData = nullptr;
    other.FSize = 0;
    other.FMapping = nullptr;
    other.FMappingSize = 0;
}

TPixelBuffer& TPixelBuffer::operator=(TPixelBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        std::swap(FData, other.FData);
        std::swap(FSize, other.FSize);
        std::swap(FMapping, other.FMapping);
        std::swap(FMappingSize, other.FMappingSize);
    }
    return *this;
}

TPixelBuffer::~TPixelBuffer() {
    Release();
}

void TPixelBuffer::Release() {
    if (FMapping)
        ::munmap(FMapping, FMappingSize);
    else
        std::free(FData);
    FData = nullptr;
    FSize = 0;
    FMapping = nullptr;
    FMappingSize = 0;
}

// ---- TBitmap

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
    image.Bits = TPixelBuffer(static_cast<size_t>(rowBytes * height));
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

namespace {

template <class Fetch> void Gather(const int* columns, size_t count, TColor32* out, Fetch fetch) {
    for (size_t i = 0; i < count; ++i)
        out[i] = fetch(static_cast<size_t>(columns[i]));
}

unsigned IndexAt(const uint8_t* row, size_t x, int bits) {
    const size_t perByte = size_t(8 / bits);
    const int shift = 8 - bits * int(x % perByte + 1);
    return (row[x / perByte] >> shift) & ((1u << bits) - 1);
}

} // namespace

void TBitmap::SampleRow(int y, const int* columns, size_t count, TColor32* out) const {
    const uint8_t* row = ScanLine(y);
    const TBitmapImage& image = *FImage;
    const auto& palette = image.Palette;
    switch (image.PixelFormat) {
    case TPixelFormat::pf1bit:
    case TPixelFormat::pf4bit: {
        const int bits = BitsPerPixel(image.PixelFormat);
        return Gather(columns, count, out,
                      [&](size_t x) { return PaletteColor(palette, IndexAt(row, x, bits)); });
    }
    case TPixelFormat::pf8bit:
        return Gather(columns, count, out, [&](size_t x) { return PaletteColor(palette, row[x]); });
    case TPixelFormat::pf15bit:
        return Gather(columns, count, out, [&](size_t x) {
            unsigned v = row[2 * x] | row[2 * x + 1] << 8;
            return MakeColor32(Expand5((v >> 10) & 31), Expand5((v >> 5) & 31), Expand5(v & 31));
        });
    case TPixelFormat::pf16bit:
        return Gather(columns, count, out, [&](size_t x) {
            unsigned v = row[2 * x] | row[2 * x + 1] << 8;
            return MakeColor32(Expand5((v >> 11) & 31), Expand6((v >> 5) & 63), Expand5(v & 31));
        });
    case TPixelFormat::pf24bit:
        return Gather(columns, count, out,
                      [&](size_t x) { return MakeColor32(row[3 * x + 2], row[3 * x + 1], row[3 * x]); });
    case TPixelFormat::pf32bit: {
        const TColor32 opaque = image.HasAlpha ? 0 : 0xFF000000;
        return Gather(columns, count, out, [&](size_t x) {
            TColor32 c;
            std::memcpy(&c, row + 4 * x, 4);
            return c | opaque;
        });
    }
    }
}

TColor32 TBitmap::Pixel(int x, int y) const {
    if (x < 0 || x >= Width()) throw EInvalidGraphicOperation("Pixel index out of range");
    TColor32 color = 0;
    SampleRow(y, &x, 1, &color);
    return color;
}

std::vector<int> NearestSourceIndexes(int from, int to, int64_t start, int64_t span, int length) {
    // 64 bits: a position times a length of millions of pixels overflows an int.
    std::vector<int> indexes(static_cast<size_t>(std::max(to - from, 0)));
    for (int i = from; i < to; ++i)
        indexes[size_t(i - from)] = static_cast<int>((int64_t(i) - start) * length / span);
    return indexes;
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
    const int x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, canvas.Width());
    const int y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, canvas.Height());
    if (x0 >= x1 || y0 >= y1) return;
    // Nearest neighbour drops or repeats rows and columns and never blends.
    // Only the source pixels that land in the rectangle are fetched, so
    // drawing costs memory in proportion to the rectangle, not the picture.
    const std::vector<int> columns = NearestSourceIndexes(x0, x1, rect.Left, rect.Width(), Width());
    const std::vector<int> rows = NearestSourceIndexes(y0, y1, rect.Top, rect.Height(), Height());
    std::vector<TColor32> source(columns.size());
    int loadedRow = -1;
    for (int y = y0; y < y1; ++y) {
        const int sy = rows[size_t(y - y0)];
        if (sy != loadedRow) {
            SampleRow(sy, columns.data(), columns.size(), source.data());
            loadedRow = sy;
        }
        TColor32* out = canvas.ScanLine(y) + x0;
        if (blend)
            for (size_t i = 0; i < source.size(); ++i)
                out[i] = Blend(out[i], source[i]);
        else
            for (size_t i = 0; i < source.size(); ++i)
                out[i] = source[i] | 0xFF000000;
    }
}

void TBitmap::DrawInRect(TCanvas& canvas, const TRect& rect) {
    StretchDraw(canvas, rect, false);
}
