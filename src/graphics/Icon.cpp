#include "graphics/Icon.h"

#include "core/ByteOrder.h"
#include "graphics/Picture.h"

#include <climits>
#include <cstring>

namespace {

const char* const IconNotValid = "Icon image is not valid";

constexpr int Unlimited = INT_MAX;

int Colors(const TIconDirEntry& entry) {
    return entry.ColorCount == 0 ? Unlimited : entry.ColorCount;
}

// "No worse" for one dimension: no farther from the wanted size, and not
// growing past it when the chosen one was already below or at it.
bool NoWorse(int candidate, int chosen, int wanted) {
    int c = candidate - wanted, o = chosen - wanted;
    return std::abs(c) <= std::abs(o) && (c <= 0 || c <= o);
}

const uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// An entry's image is decoded into a raster of its own first (the PNG's, or
// the colour part of a DIB) and then made 32-bit with alpha: both must fit
// the working memory. The format itself names sizes up to 256 pixels.
bool FitsWorkingMemory(int64_t width, int64_t height) {
    const int64_t pixels = CheckedPixelCount(width, height);
    return pixels >= 0 && pixels <= MaxWorkingBytes / 4;
}

uint32_t GetBig32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

} // namespace

int TIcon::Width() const {
    return FImage ? FImage->Width() : SystemIconSize;
}
int TIcon::Height() const {
    return FImage ? FImage->Height() : SystemIconSize;
}
void TIcon::SetWidth(int value) {
    FRequestedWidth = value;
}
void TIcon::SetHeight(int value) {
    FRequestedHeight = value;
}

void TIcon::ReadPicture(TStream& stream) {
    int64_t size = stream.Size() - stream.Position();
    std::vector<uint8_t> data(static_cast<size_t>(std::max<int64_t>(size, 0)));
    stream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
    if (data.size() < 6) throw EReadError("Stream read error");
    int type = Get16(data.data() + 2);
    if (type > 1) throw EInvalidGraphic(IconNotValid);
    FData = std::move(data);
    FType = type;
    FImage.reset();
    FChosen = -1;
    FLoaded = true;
    Changed();
}

int TIcon::ChooseEntry(const std::vector<TIconDirEntry>& entries, int requestedWidth, int requestedHeight,
                       int displayBits) {
    if (entries.empty()) return -1;
    const int display = displayBits <= 8 ? 1 << displayBits : Unlimited;
    int chosen = 0;
    for (int i = 1; i < static_cast<int>(entries.size()); ++i) {
        const TIconDirEntry &candidate = entries[size_t(i)], &best = entries[size_t(chosen)];
        if (Colors(candidate) > display || Colors(candidate) < Colors(best)) continue;
        if (NoWorse(candidate.Width, best.Width, requestedWidth) &&
            NoWorse(candidate.Height, best.Height, requestedHeight))
            chosen = i;
    }
    return chosen;
}

std::vector<TIconDirEntry> TIcon::ReadDirectory() const {
    const size_t count = Get16(FData.data() + 4);
    if (count == 0 || count > (FData.size() - 6) / 16) throw EInvalidGraphic(IconNotValid);
    std::vector<TIconDirEntry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = FData.data() + 6 + 16 * i;
        TIconDirEntry& e = entries[i];
        // A size byte of 0 stands for 256, the largest icon the format can name.
        e.Width = p[0] ? p[0] : 256;
        e.Height = p[1] ? p[1] : 256;
        e.ColorCount = p[2];
        e.Planes = Get16(p + 4);
        e.BitCount = Get16(p + 6);
        e.BytesInRes = Get32(p + 8);
        e.ImageOffset = Get32(p + 12);
    }
    return entries;
}

void TIcon::HandleNeeded() {
    if (FImage || !FLoaded) return;
    if (FType == 0) {
        MakeApplicationIcon();
        return;
    }
    std::vector<TIconDirEntry> entries = ReadDirectory();
    int chosen = ChooseEntry(entries, FRequestedWidth > 0 ? FRequestedWidth : SystemIconSize,
                             FRequestedHeight > 0 ? FRequestedHeight : SystemIconSize, DisplayBitsPerPixel);
    DecodeEntry(entries[size_t(chosen)]);
    FChosen = chosen;
}

void TIcon::DecodeEntry(const TIconDirEntry& entry) {
    if (entry.ImageOffset > FData.size() || entry.BytesInRes > FData.size() - entry.ImageOffset)
        throw EInvalidGraphic(IconNotValid);
    const uint8_t* data = FData.data() + entry.ImageOffset;
    if (entry.BytesInRes >= 8 && std::memcmp(data, PngSignature, 8) == 0)
        DecodePngEntry(data, entry.BytesInRes);
    else
        DecodeDibEntry(data, entry.BytesInRes);
}

void TIcon::DecodePngEntry(const uint8_t* data, size_t size) {
    // The size in the header (IHDR, the first chunk) is checked before the
    // PNG reader commits anything to it.
    if (size < 24 || !FitsWorkingMemory(GetBig32(data + 16), GetBig32(data + 20)))
        throw EInvalidGraphic(IconNotValid);
    // The PNG reader registers itself; without it such an entry cannot be shown.
    const TGraphicClass* pngClass = PictureFormats().FindByClassName("TPNGGraphic");
    if (!pngClass) throw EInvalidGraphic(IconNotValid);
    std::unique_ptr<TGraphic> graphic = pngClass->Create();
    auto* png = dynamic_cast<TBitmap*>(graphic.get());
    if (!png) throw EInvalidGraphic(IconNotValid);
    TMemoryStream stream;
    stream.WriteBuffer(data, static_cast<int64_t>(size));
    stream.SetPosition(0);
    png->ReadPicture(stream);
    if (!FitsWorkingMemory(png->Width(), png->Height())) throw EInvalidGraphic(IconNotValid);
    auto image = std::make_unique<TBitmap>();
    image->SetPixelFormat(TPixelFormat::pf32bit);
    image->SetSize(png->Width(), png->Height());
    image->SetHasAlpha(true);
    for (int y = 0; y < png->Height(); ++y)
        png->RowToColor32(y, reinterpret_cast<TColor32*>(image->ScanLine(y)));
    FImage = std::move(image);
}

namespace {

// Where the parts of an icon's DIB lie: header, colour table, colour rows
// (half the stored height), then the AND mask rows.
struct TDibLayout {
    int32_t Width = 0;
    int32_t Height = 0;
    int BitCount = 0;
    uint32_t HeaderSize = 0;
    uint64_t TableBytes = 0;
    uint64_t ColorBytes = 0; // header, table and colour rows
    size_t MaskRowBytes = 0;
};

TDibLayout MeasureDib(const uint8_t* data, size_t size) {
    if (size < 40) throw EInvalidGraphic(IconNotValid);
    TDibLayout dib;
    dib.HeaderSize = Get32(data);
    dib.Width = static_cast<int32_t>(Get32(data + 4));
    // The stored height covers the colour image and the mask below it.
    dib.Height = static_cast<int32_t>(Get32(data + 8)) / 2;
    dib.BitCount = Get16(data + 14);
    if (dib.HeaderSize < 40 || dib.HeaderSize > size || dib.Width <= 0 || dib.Height <= 0 ||
        !FitsWorkingMemory(dib.Width, dib.Height))
        throw EInvalidGraphic(IconNotValid);
    // Both factors are bounded by the pixel limit above, so no product overflows.
    const int64_t colorRowBytes = RasterRowBytes(dib.Width, dib.BitCount);
    const uint32_t clrUsed = Get32(data + 32);
    dib.TableBytes = 4 * (clrUsed ? clrUsed : (dib.BitCount <= 8 ? uint64_t(1) << dib.BitCount : 0));
    if (colorRowBytes < 0) throw EInvalidGraphic(IconNotValid);
    dib.ColorBytes = dib.HeaderSize + dib.TableBytes + uint64_t(colorRowBytes) * uint64_t(dib.Height);
    if (dib.ColorBytes > size) throw EInvalidGraphic(IconNotValid);
    dib.MaskRowBytes = size_t(RasterRowBytes(dib.Width, 1));
    return dib;
}

// The colour part is a bitmap of half the stored height: the BMP reader decodes it.
void DecodeColors(const uint8_t* data, const TDibLayout& dib, TBitmap& colors) {
    try {
        TMemoryStream bmp;
        WriteBmpFileHeader(bmp, uint32_t(14 + dib.ColorBytes),
                           uint32_t(14 + dib.HeaderSize + dib.TableBytes));
        bmp.WriteBuffer(data, static_cast<int64_t>(dib.ColorBytes));
        Put32(bmp.Memory() + 14 + 8, uint32_t(dib.Height));
        Put32(bmp.Memory() + 14 + 20, 0); // image size: recomputed from the rows
        bmp.SetPosition(0);
        colors.ReadPicture(bmp);
    } catch (const EStreamError&) {
        throw EInvalidGraphic(IconNotValid);
    } catch (const EInvalidGraphic&) {
        throw EInvalidGraphic(IconNotValid);
    }
    if (colors.Width() != dib.Width || colors.Height() != dib.Height) throw EInvalidGraphic(IconNotValid);
}

// Old 32-bit icons leave the fourth byte zero and rely on the mask alone.
bool AnyAlpha(const TBitmap& colors) {
    if (colors.PixelFormat() != TPixelFormat::pf32bit) return false;
    for (int y = 0; y < colors.Height(); ++y) {
        const uint8_t* row = colors.ScanLine(y);
        for (int x = 0; x < colors.Width(); ++x)
            if (row[4 * x + 3] != 0) return true;
    }
    return false;
}

} // namespace

void TIcon::DecodeDibEntry(const uint8_t* data, size_t size) {
    const TDibLayout dib = MeasureDib(data, size);
    TBitmap colors;
    DecodeColors(data, dib, colors);
    const uint8_t* mask = data + dib.ColorBytes;
    const size_t maskBytes = size - dib.ColorBytes;
    const bool useAlpha = dib.BitCount == 32 && AnyAlpha(colors);
    auto image = std::make_unique<TBitmap>();
    image->SetPixelFormat(TPixelFormat::pf32bit);
    image->SetSize(dib.Width, dib.Height);
    image->SetHasAlpha(true);
    for (int y = 0; y < dib.Height; ++y) {
        auto* out = reinterpret_cast<TColor32*>(image->ScanLine(y));
        colors.RowToColor32(y, out);
        const uint8_t* source = colors.ScanLine(y);
        // Mask rows are stored bottom-up like the colour rows; a missing mask means opaque.
        const size_t maskRow = size_t(dib.Height - 1 - y) * dib.MaskRowBytes;
        for (int x = 0; x < dib.Width; ++x) {
            uint32_t alpha = 255;
            if (useAlpha)
                alpha = source[4 * x + 3];
            else if (maskRow + size_t(x / 8) < maskBytes && (mask[maskRow + x / 8] >> (7 - x % 8)) & 1)
                alpha = 0;
            out[x] = (out[x] & 0x00FFFFFF) | alpha << 24;
        }
    }
    FImage = std::move(image);
}

void TIcon::MakeApplicationIcon() {
    // A plain window: grey frame, blue title bar, white client area.
    auto image = std::make_unique<TBitmap>();
    image->SetPixelFormat(TPixelFormat::pf32bit);
    image->SetSize(SystemIconSize, SystemIconSize);
    image->SetHasAlpha(true);
    for (int y = 0; y < SystemIconSize; ++y) {
        auto* row = reinterpret_cast<TColor32*>(image->ScanLine(y));
        for (int x = 0; x < SystemIconSize; ++x) {
            bool inside = x >= 2 && x < 30 && y >= 4 && y < 28;
            bool frame = inside && (x == 2 || x == 29 || y == 4 || y == 27);
            row[x] = !inside ? 0
                     : frame ? MakeColor32(96, 96, 96)
                     : y < 9 ? MakeColor32(0, 64, 160)
                             : 0xFFFFFFFF;
        }
    }
    FImage = std::move(image);
}

void TIcon::DrawInRect(TCanvas& canvas, const TRect& rect) {
    HandleNeeded();
    if (!FImage) return;
    // Never stretched: the icon sits at the rectangle's top-left corner at its own size.
    FImage->StretchDraw(
        canvas, Rect(rect.Left, rect.Top, rect.Left + FImage->Width(), rect.Top + FImage->Height()), true);
}
