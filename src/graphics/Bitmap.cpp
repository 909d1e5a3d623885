#include "graphics/Bitmap.h"

#include <algorithm>
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
constexpr size_t MapThreshold = size_t(4) << 20;
} // namespace

TPixelBuffer::TPixelBuffer(size_t size) : FSize(size) {
    if (size == 0) return;
    if (size >= MapThreshold) {
        // One spare huge page so that the block can start on a huge-page boundary.
        size_t mappingSize = size + HugePage;
        void* mapping =
            ::mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            auto start = (reinterpret_cast<uintptr_t>(mapping) + HugePage - 1) & ~(HugePage - 1);
            ::madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
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

// ---- BMP reader

namespace {

const char* const BitmapNotValid = "Bitmap image is not valid";

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

// The information header, widened to one form whatever its size in the file.
struct TBmpInfo {
    bool Core = false;
    int64_t Width = 0;
    int64_t Height = 0; // negative: rows stored top-down
    uint16_t Planes = 0;
    uint16_t BitCount = 0;
    uint32_t Compression = BI_RGB;
    uint32_t SizeImage = 0;
    uint32_t ClrUsed = 0;
    uint32_t Masks[3] = {0, 0, 0};
};

// A bounded reader over the file's bytes; running past the end is the
// stream's read error, as it would be when reading the file piece by piece.
class TByteReader {
  public:
    TByteReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    const uint8_t* Take(size_t count) {
        if (count > FSize - FPos) throw EReadError("Stream read error");
        const uint8_t* p = FData + FPos;
        FPos += count;
        return p;
    }
    size_t Position() const { return FPos; }
    size_t Left() const { return FSize - FPos; }
    void Skip(size_t pos) { FPos = std::min(pos, FSize); }

  private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

TBmpInfo ReadInfoHeader(TByteReader& in) {
    TBmpInfo info;
    uint32_t headerSize = Get32(in.Take(4));
    if (headerSize == 12) {
        const uint8_t* p = in.Take(8);
        info.Core = true;
        info.Width = Get16(p);
        info.Height = Get16(p + 2);
        info.Planes = Get16(p + 4);
        info.BitCount = Get16(p + 6);
        return info;
    }
    if (headerSize < 16) throw EInvalidGraphic(BitmapNotValid);
    const uint8_t* p = in.Take(headerSize - 4);
    // Every field after the first four is optional in the shorter variants.
    uint8_t h[52] = {};
    std::memcpy(h, p, std::min<size_t>(headerSize - 4, sizeof h));
    info.Width = static_cast<int32_t>(Get32(h));
    info.Height = static_cast<int32_t>(Get32(h + 4));
    info.Planes = Get16(h + 8);
    info.BitCount = Get16(h + 10);
    info.Compression = Get32(h + 12);
    info.SizeImage = Get32(h + 16);
    info.ClrUsed = Get32(h + 28);
    if (headerSize >= 52)
        for (int i = 0; i < 3; ++i)
            info.Masks[i] = Get32(h + 36 + 4 * i);
    if (headerSize == 40 && (info.BitCount == 16 || info.BitCount == 32) &&
        info.Compression == BI_BITFIELDS) {
        const uint8_t* m = in.Take(12);
        for (int i = 0; i < 3; ++i)
            info.Masks[i] = Get32(m + 4 * i);
    }
    return info;
}

std::vector<TPaletteEntry> ReadColorTable(TByteReader& in, const TBmpInfo& info) {
    uint64_t count = info.ClrUsed;
    if (count == 0 && info.BitCount <= 8) count = uint64_t(1) << info.BitCount;
    if (count == 0) return {};
    const size_t entrySize = info.Core ? 3 : 4;
    // Checked before anything is allocated: a huge count just runs past the end.
    if (count > in.Left() / entrySize) throw EReadError("Stream read error");
    const uint8_t* p = in.Take(static_cast<size_t>(count) * entrySize);
    std::vector<TPaletteEntry> palette(static_cast<size_t>(count));
    for (auto& entry : palette) {
        entry = TPaletteEntry{p[2], p[1], p[0], 0};
        p += entrySize;
    }
    return palette;
}

// The raster format a decoded BMP gets, or nothing for a layout no decoder takes.
bool TargetFormat(const TBmpInfo& info, TPixelFormat& format) {
    switch (info.Compression) {
    case BI_RLE8:
        format = TPixelFormat::pf8bit;
        return info.BitCount == 8;
    case BI_RLE4:
        format = TPixelFormat::pf4bit;
        return info.BitCount == 4;
    case BI_RGB:
    case BI_BITFIELDS:
        break;
    default:
        return false;
    }
    if (info.Compression == BI_BITFIELDS && info.BitCount != 16 && info.BitCount != 32) return false;
    switch (info.BitCount) {
    case 1:
        format = TPixelFormat::pf1bit;
        return true;
    case 4:
        format = TPixelFormat::pf4bit;
        return true;
    case 8:
        format = TPixelFormat::pf8bit;
        return true;
    case 16:
        format = TPixelFormat::pf15bit;
        break;
    case 24:
        format = TPixelFormat::pf24bit;
        return true;
    case 32:
        format = TPixelFormat::pf32bit;
        return true;
    default:
        return false;
    }
    if (info.Compression == BI_BITFIELDS) {
        const uint32_t* m = info.Masks;
        if (m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F)
            format = TPixelFormat::pf16bit;
        else if (!(m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F))
            format = TPixelFormat::pf32bit;
    }
    return true;
}

// One channel of a bit-field pixel, scaled to 8 bits.
struct TMaskChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    uint32_t Max = 0;
    explicit TMaskChannel(uint32_t mask) : Mask(mask) {
        if (mask == 0) return;
        Shift = __builtin_ctz(mask);
        Max = mask >> Shift;
    }
    uint8_t Get(uint32_t pixel) const {
        if (Max == 0) return 0;
        return static_cast<uint8_t>(uint64_t((pixel & Mask) >> Shift) * 255 / Max);
    }
};

bool StandardMasks32(const TBmpInfo& info) {
    return info.Compression == BI_RGB ||
           (info.Masks[0] == 0xFF0000 && info.Masks[1] == 0xFF00 && info.Masks[2] == 0xFF);
}

void ConvertMaskedRow(const TBmpInfo& info, const uint8_t* src, int width, uint8_t* dst) {
    const TMaskChannel r(info.Masks[0]), g(info.Masks[1]), b(info.Masks[2]);
    for (int x = 0; x < width; ++x, dst += 4) {
        uint32_t v = info.BitCount == 16 ? Get16(src + 2 * x) : Get32(src + 4 * x);
        dst[0] = b.Get(v);
        dst[1] = g.Get(v);
        dst[2] = r.Get(v);
        dst[3] = 0;
    }
}

// Uncompressed rows; a file cut short leaves the missing rows black.
void ReadPlainRows(TBitmap& bitmap, const TBmpInfo& info, const uint8_t* bits, size_t size) {
    const int width = bitmap.Width(), height = bitmap.Height();
    const size_t srcRowBytes = static_cast<size_t>(RasterRowBytes(width, info.BitCount));
    const bool convert =
        bitmap.PixelFormat() == TPixelFormat::pf32bit && (info.BitCount == 16 || !StandardMasks32(info));
    const size_t rowsPresent = srcRowBytes ? size / srcRowBytes : 0;
    for (int row = 0; row < height && size_t(row) < rowsPresent; ++row) {
        const uint8_t* src = bits + size_t(row) * srcRowBytes;
        uint8_t* dst = bitmap.ScanLine(info.Height < 0 ? row : height - 1 - row);
        if (convert)
            ConvertMaskedRow(info, src, width, dst);
        else
            std::memcpy(dst, src, std::min<size_t>(srcRowBytes, size_t(bitmap.RowBytes())));
    }
}

// Run-length decoding of RLE8 and RLE4: runs, absolute runs (padded to 16
// bits), and the escapes end of line, end of bitmap and delta. Pixels that no
// run reaches keep index 0; runs past the right edge or the last row are cut.
class TRleDecoder {
  public:
    TRleDecoder(TBitmap& bitmap, bool topDown, int bits) : FBitmap(bitmap), FTopDown(topDown), FBits(bits) {}

    void Decode(const uint8_t* data, size_t size) {
        size_t i = 0;
        while (i + 1 < size && FY < FBitmap.Height()) {
            uint8_t count = data[i], value = data[i + 1];
            i += 2;
            if (count > 0) {
                for (int k = 0; k < count; ++k)
                    Put(FBits == 8 ? value : (k % 2 ? value & 15 : value >> 4));
            } else if (value == 0) {
                FX = 0;
                ++FY;
            } else if (value == 1) {
                return;
            } else if (value == 2) {
                if (i + 1 >= size) return;
                FX += data[i];
                FY += data[i + 1];
                i += 2;
            } else {
                i = Absolute(data, size, i, value);
            }
        }
    }

  private:
    // An absolute run: count pixels stored as they are, padded to 16 bits.
    size_t Absolute(const uint8_t* data, size_t size, size_t i, int count) {
        const size_t bytes = FBits == 8 ? size_t(count) : size_t(count + 1) / 2;
        for (int k = 0; k < count; ++k) {
            size_t at = i + (FBits == 8 ? size_t(k) : size_t(k) / 2);
            if (at >= size) break;
            Put(FBits == 8 ? data[at] : (k % 2 ? data[at] & 15 : data[at] >> 4));
        }
        return i + (bytes + 1) / 2 * 2;
    }

    void Put(int index) {
        if (FX < FBitmap.Width() && FY < FBitmap.Height()) {
            uint8_t* row = FBitmap.ScanLine(FTopDown ? FY : FBitmap.Height() - 1 - FY);
            if (FBits == 8)
                row[FX] = static_cast<uint8_t>(index);
            else
                row[FX / 2] = static_cast<uint8_t>(FX % 2 ? (row[FX / 2] & 0xF0) | index
                                                          : (row[FX / 2] & 0x0F) | index << 4);
        }
        ++FX;
    }

    TBitmap& FBitmap;
    bool FTopDown;
    int FBits;
    int64_t FX = 0;
    int64_t FY = 0;
};

} // namespace

void TBitmap::ReadPicture(TStream& stream) {
    int64_t size = stream.Size() - stream.Position();
    if (size <= 0) {
        FImage = std::make_shared<TBitmapImage>();
        Changed();
        return;
    }
    std::vector<uint8_t> file(static_cast<size_t>(size));
    stream.ReadBuffer(file.data(), size);
    TByteReader in(file.data(), file.size());
    const uint8_t* fileHeader = in.Take(14);
    if (Get16(fileHeader) != 0x4D42) throw EInvalidGraphic(BitmapNotValid);
    TBmpInfo info = ReadInfoHeader(in);
    TPixelFormat format;
    if (!TargetFormat(info, format) || info.Planes != 1) throw EInvalidGraphic(BitmapNotValid);
    std::vector<TPaletteEntry> palette = ReadColorTable(in, info);
    // The pixels start where the file header says when that lies past the
    // tables: writers put gaps there (masks after a long header, alignment).
    uint32_t offBits = Get32(fileHeader + 10);
    if (offBits > in.Position() && offBits < file.size()) in.Skip(offBits);
    int64_t height = info.Height < 0 ? -info.Height : info.Height;
    if (info.Width <= 0 || height == 0 || CheckedPixelCount(info.Width, height) < 0)
        throw EInvalidGraphic(BitmapNotValid);

    TBitmap decoded;
    decoded.Reallocate(static_cast<int>(info.Width), static_cast<int>(height), format);
    decoded.FImage->Palette = std::move(palette);
    const uint8_t* bits = file.data() + in.Position();
    const bool rle = info.Compression == BI_RLE8 || info.Compression == BI_RLE4;
    uint64_t count = info.SizeImage;
    // Run-length data may well be longer than the plain rows would be: without
    // a size of its own it runs to the end of the file.
    if (count == 0 && !rle) count = uint64_t(RasterRowBytes(info.Width, info.BitCount)) * uint64_t(height);
    if (count == 0 || count > in.Left()) count = in.Left();
    if (rle)
        TRleDecoder(decoded, info.Height < 0, info.BitCount).Decode(bits, count);
    else
        ReadPlainRows(decoded, info, bits, count);
    FImage = std::move(decoded.FImage);
    SetPaletteModified(true);
    Changed();
}
