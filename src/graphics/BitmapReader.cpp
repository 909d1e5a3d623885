// The BMP reader of TBitmap. It reads the file from its stream in order and
// in blocks, so that loading costs the raster plus a bounded amount of
// working memory however large the file is.

#include "graphics/Bitmap.h"

#include "core/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const BitmapNotValid = "Bitmap image is not valid";

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

// The file's bytes from the stream, in order. Running past the end is the
// stream's read error, as it would be when reading the file piece by piece.
class TBmpSource {
  public:
    TBmpSource(TStream& stream, int64_t size) : FStream(stream), FSize(size) {}
    void Read(void* buffer, size_t count) {
        if (count > Left()) throw EReadError("Stream read error");
        FStream.ReadBuffer(buffer, static_cast<int64_t>(count));
        FPos += count;
    }
    void Skip(uint64_t count) {
        if (count > Left()) throw EReadError("Stream read error");
        FStream.Seek(static_cast<int64_t>(count), TSeekOrigin::soCurrent);
        FPos += count;
    }
    uint64_t Position() const { return FPos; }
    uint64_t Left() const { return uint64_t(FSize) - FPos; }

  private:
    TStream& FStream;
    int64_t FSize;
    uint64_t FPos = 0;
};

TBmpInfo ReadInfoHeader(TBmpSource& in) {
    TBmpInfo info;
    uint8_t size[4];
    in.Read(size, 4);
    const uint32_t headerSize = Get32(size);
    uint8_t h[52] = {};
    if (headerSize == 12) {
        in.Read(h, 8);
        info.Core = true;
        info.Width = Get16(h);
        info.Height = Get16(h + 2);
        info.Planes = Get16(h + 4);
        info.BitCount = Get16(h + 6);
        return info;
    }
    if (headerSize < 16) throw EInvalidGraphic(BitmapNotValid);
    if (headerSize - 4 > in.Left()) throw EReadError("Stream read error");
    // Every field after the first four is optional in the shorter variants;
    // what follows the fields known here is skipped, not held.
    const size_t known = std::min<size_t>(headerSize - 4, sizeof h);
    in.Read(h, known);
    in.Skip(headerSize - 4 - known);
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
        uint8_t m[12];
        in.Read(m, 12);
        for (int i = 0; i < 3; ++i)
            info.Masks[i] = Get32(m + 4 * i);
    }
    return info;
}

// No pixel of this reader's formats names a colour past the 256th: a longer
// table must still be in the file, but only its first 256 entries are kept.
constexpr uint64_t MaxPaletteEntries = 256;

std::vector<TPaletteEntry> ReadColorTable(TBmpSource& in, const TBmpInfo& info) {
    uint64_t count = info.ClrUsed;
    if (count == 0 && info.BitCount <= 8) count = uint64_t(1) << info.BitCount;
    if (count == 0) return {};
    const size_t entrySize = info.Core ? 3 : 4;
    if (count > in.Left() / entrySize) throw EReadError("Stream read error");
    const size_t kept = static_cast<size_t>(std::min(count, MaxPaletteEntries));
    std::vector<uint8_t> table(kept * entrySize);
    in.Read(table.data(), table.size());
    in.Skip((count - kept) * entrySize);
    std::vector<TPaletteEntry> palette(kept);
    const uint8_t* p = table.data();
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

// Pixel bytes are read in blocks of about this size (at least one row).
constexpr size_t ReadBlockBytes = size_t(1) << 20;

// Uncompressed rows; a file cut short leaves the missing rows black.
void ReadPlainRows(TBitmap& bitmap, const TBmpInfo& info, TBmpSource& in, uint64_t size) {
    const int width = bitmap.Width(), height = bitmap.Height();
    const size_t srcRowBytes = static_cast<size_t>(RasterRowBytes(width, info.BitCount));
    const bool convert =
        bitmap.PixelFormat() == TPixelFormat::pf32bit && (info.BitCount == 16 || !StandardMasks32(info));
    const uint64_t rowsPresent = std::min<uint64_t>(srcRowBytes ? size / srcRowBytes : 0, uint64_t(height));
    const size_t rowsPerBlock = std::max<size_t>(1, ReadBlockBytes / std::max<size_t>(srcRowBytes, 1));
    std::vector<uint8_t> block(std::min<uint64_t>(rowsPerBlock, rowsPresent) * srcRowBytes);
    for (uint64_t first = 0; first < rowsPresent; first += rowsPerBlock) {
        const size_t rows = static_cast<size_t>(std::min<uint64_t>(rowsPerBlock, rowsPresent - first));
        in.Read(block.data(), rows * srcRowBytes);
        for (size_t i = 0; i < rows; ++i) {
            const int row = static_cast<int>(first + i);
            const uint8_t* src = block.data() + i * srcRowBytes;
            uint8_t* dst = bitmap.ScanLine(info.Height < 0 ? row : height - 1 - row);
            if (convert)
                ConvertMaskedRow(info, src, width, dst);
            else
                std::memcpy(dst, src, std::min<size_t>(srcRowBytes, size_t(bitmap.RowBytes())));
        }
    }
}

// Run-length decoding of RLE8 and RLE4: runs, absolute runs (padded to 16
// bits), and the escapes end of line, end of bitmap and delta. Pixels that no
// run reaches keep index 0; runs past the right edge or the last row are cut.
class TRleDecoder {
  public:
    TRleDecoder(TBitmap& bitmap, bool topDown, int bits) : FBitmap(bitmap), FTopDown(topDown), FBits(bits) {}

    // Reads size bytes of runs from in, a block at a time. A block is decoded
    // up to where its last whole item may begin: the longest item (an
    // absolute run of 255 pixels) takes 258 bytes, the rest waits for the
    // next block; only the very end of the data may hold a cut item.
    void Decode(TBmpSource& in, uint64_t size) {
        constexpr size_t LongestItem = 258;
        std::vector<uint8_t> buffer(
            static_cast<size_t>(std::min<uint64_t>(size, ReadBlockBytes + LongestItem)));
        size_t filled = 0, pos = 0;
        uint64_t left = size;
        for (;;) {
            if (left > 0 && filled - pos < LongestItem) {
                std::memmove(buffer.data(), buffer.data() + pos, filled - pos);
                filled -= pos;
                pos = 0;
                const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size() - filled));
                in.Read(buffer.data() + filled, n);
                filled += n;
                left -= n;
            }
            if (pos + 1 >= filled) return;
            const size_t end = left > 0 ? filled - LongestItem + 1 : filled;
            while (pos < end && pos + 1 < filled)
                if (!Step(buffer.data(), filled, pos)) return;
        }
    }

  private:
    // One item at data[i]: answers false at the end of the bitmap.
    bool Step(const uint8_t* data, size_t size, size_t& i) {
        if (FY >= FBitmap.Height()) return false;
        const uint8_t count = data[i], value = data[i + 1];
        i += 2;
        if (count > 0) {
            for (int k = 0; k < count; ++k)
                Put(FBits == 8 ? value : (k % 2 ? value & 15 : value >> 4));
        } else if (value == 0) {
            FX = 0;
            ++FY;
        } else if (value == 1) {
            return false;
        } else if (value == 2) {
            if (i + 1 >= size) return false;
            FX += data[i];
            FY += data[i + 1];
            i += 2;
        } else {
            i = Absolute(data, size, i, value);
        }
        return true;
    }

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
            uint8_t* row = FBitmap.ScanLine(static_cast<int>(FTopDown ? FY : FBitmap.Height() - 1 - FY));
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

// Every row of a raster is handed around whole as 32-bit pixels (drawing,
// icons, conversions): a picture whose row would not fit the working memory
// is refused before anything is allocated.
bool RowFits(int64_t width) {
    return width <= MaxWorkingBytes / 4;
}

} // namespace

void TBitmap::ReadPicture(TStream& stream) {
    const int64_t size = stream.Size() - stream.Position();
    if (size <= 0) {
        FImage = std::make_shared<TBitmapImage>();
        Changed();
        return;
    }
    TBmpSource in(stream, size);
    uint8_t fileHeader[14];
    in.Read(fileHeader, 14);
    if (Get16(fileHeader) != 0x4D42) throw EInvalidGraphic(BitmapNotValid);
    TBmpInfo info = ReadInfoHeader(in);
    TPixelFormat format;
    if (!TargetFormat(info, format) || info.Planes != 1) throw EInvalidGraphic(BitmapNotValid);
    std::vector<TPaletteEntry> palette = ReadColorTable(in, info);
    // The pixels start where the file header says when that lies past the
    // tables: writers put gaps there (masks after a long header, alignment).
    const uint32_t offBits = Get32(fileHeader + 10);
    if (offBits > in.Position() && offBits < uint64_t(size)) in.Skip(offBits - in.Position());
    const int64_t height = info.Height < 0 ? -info.Height : info.Height;
    if (info.Width <= 0 || height == 0 || CheckedPixelCount(info.Width, height) < 0 || !RowFits(info.Width))
        throw EInvalidGraphic(BitmapNotValid);

    TBitmap decoded;
    decoded.Reallocate(static_cast<int>(info.Width), static_cast<int>(height), format);
    decoded.FImage->Palette = std::move(palette);
    const bool rle = info.Compression == BI_RLE8 || info.Compression == BI_RLE4;
    uint64_t count = info.SizeImage;
    // Run-length data may well be longer than the plain rows would be: without
    // a size of its own it runs to the end of the file.
    if (count == 0 && !rle) count = uint64_t(RasterRowBytes(info.Width, info.BitCount)) * uint64_t(height);
    if (count == 0 || count > in.Left()) count = in.Left();
    if (rle)
        TRleDecoder(decoded, info.Height < 0, info.BitCount).Decode(in, count);
    else
        ReadPlainRows(decoded, info, in, count);
    FImage = std::move(decoded.FImage);
    SetPaletteModified(true);
    Changed();
}

void WriteBmpFileHeader(TStream& stream, uint32_t fileSize, uint32_t bitsOffset) {
    uint8_t header[14] = {'B', 'M'};
    Put32(header + 2, fileSize); // two reserved words follow, zero
    Put32(header + 10, bitsOffset);
    stream.WriteBuffer(header, sizeof header);
}
