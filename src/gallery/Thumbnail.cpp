#include "gallery/Thumbnail.h"

#include "core/Classes.h"
#include "core/Exceptions.h"
#include "graphics/Bitmap.h"
#include "graphics/JPEGImage.h"
#include "graphics/PNGGraphic.h"

#include <algorithm>
#include <memory>
#include <zlib.h>

void TBoxScaler::Start(int width, int height) {
    if (width <= 0 || height <= 0) throw EInvalidGraphic("The picture has no pixels");
    FSourceWidth = width;
    FSourceHeight = height;
    const double scale = std::min(1.0, static_cast<double>(FSide) / std::max(width, height));
    FOut.Width = std::max(1, static_cast<int>(width * scale + 0.5));
    FOut.Height = std::max(1, static_cast<int>(height * scale + 0.5));
    FOut.Rgb.assign(static_cast<size_t>(FOut.Width) * static_cast<size_t>(FOut.Height) * 3, 0);
    FColumn.resize(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x)
        FColumn[static_cast<size_t>(x)] = static_cast<int>(int64_t{x} * FOut.Width / width);
    FSums.assign(static_cast<size_t>(FOut.Width) * 4, 0);
    FRowsIn = FTargetRow = 0;
}

void TBoxScaler::AddRow(const uint8_t* rgba) {
    if (FRowsIn >= FSourceHeight) return; // a reader that gives more rows than it announced
    const int target = static_cast<int>(int64_t{FRowsIn} * FOut.Height / FSourceHeight);
    while (FTargetRow < target)
        EmitRow();
    for (int x = 0; x < FSourceWidth; ++x, rgba += 4) {
        uint64_t* sum = &FSums[static_cast<size_t>(FColumn[static_cast<size_t>(x)]) * 4];
        const unsigned alpha = rgba[3], white = 255 * (255 - alpha);
        for (int c = 0; c < 3; ++c)
            sum[c] += (rgba[c] * alpha + white + 127) / 255;
        ++sum[3];
    }
    ++FRowsIn;
}

void TBoxScaler::EmitRow() {
    uint8_t* out = &FOut.Rgb[static_cast<size_t>(FTargetRow) * static_cast<size_t>(FOut.Width) * 3];
    for (int x = 0; x < FOut.Width; ++x) {
        const uint64_t* sum = &FSums[static_cast<size_t>(x) * 4];
        for (int c = 0; c < 3; ++c)
            out[x * 3 + c] = static_cast<uint8_t>(sum[3] ? (sum[c] + sum[3] / 2) / sum[3] : 255);
    }
    std::fill(FSums.begin(), FSums.end(), 0);
    ++FTargetRow;
}

TThumbnail TBoxScaler::Finish() {
    if (FSourceHeight == 0 || FRowsIn < FSourceHeight)
        throw EInvalidGraphic("The picture ended before its last row");
    while (FTargetRow < FOut.Height)
        EmitRow();
    return std::move(FOut);
}

namespace {

// A JPEG decoded row by row straight into the scaler: no raster of the
// whole picture. The decoder fills the row NextRow handed out before it asks
// for the next one.
class TScalerRows : public TJPEGRowSink {
  public:
    explicit TScalerRows(TBoxScaler& scaler) : FScaler(scaler) {}
    void Start(int width, int height) override {
        FScaler.Start(width, height);
        FRow.assign(static_cast<size_t>(width) * 4, 0);
    }
    uint8_t* NextRow() override {
        Flush();
        FPending = true;
        return FRow.data();
    }
    void Flush() {
        if (FPending) FScaler.AddRow(FRow.data());
        FPending = false;
    }

  private:
    TBoxScaler& FScaler;
    std::vector<uint8_t> FRow;
    bool FPending = false;
};

// TColor32 is 0xAARRGGBB. A raster the reader already holds, a row at a time.
void AddBitmapRows(const TBitmap& bitmap, TBoxScaler& scaler) {
    const int width = bitmap.Width(), height = bitmap.Height();
    scaler.Start(width, height);
    std::vector<int> columns(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x)
        columns[static_cast<size_t>(x)] = x;
    std::vector<TColor32> pixels(columns.size());
    std::vector<uint8_t> rgba(columns.size() * 4);
    for (int y = 0; y < height; ++y) {
        bitmap.SampleRow(y, columns.data(), columns.size(), pixels.data());
        for (size_t x = 0; x < pixels.size(); ++x) {
            const TColor32 p = pixels[x];
            rgba[x * 4] = static_cast<uint8_t>(p >> 16);
            rgba[x * 4 + 1] = static_cast<uint8_t>(p >> 8);
            rgba[x * 4 + 2] = static_cast<uint8_t>(p);
            rgba[x * 4 + 3] = static_cast<uint8_t>(p >> 24); // 255 unless the picture has alpha
        }
        scaler.AddRow(rgba.data());
    }
}

TThumbnail JpegThumbnail(TStream& stream) {
    TJPEGImage jpeg;
    jpeg.ReadPicture(stream);
    TBoxScaler scaler;
    TScalerRows rows(scaler);
    if (jpeg.DecodeRgbaRows(rows)) {
        rows.Flush();
        return scaler.Finish();
    }
    // Not decodable row by row (the reader says which): through its raster.
    jpeg.DIBNeeded();
    if (!jpeg.DecodedRaster()) throw EInvalidGraphic("The JPEG could not be decoded");
    AddBitmapRows(*jpeg.DecodedRaster(), scaler);
    return scaler.Finish();
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

bool HasThumbnailReader(const std::string& extension) {
    const std::string kind = Lower(extension);
    return kind == "jpg" || kind == "jpeg" || kind == "png" || kind == "bmp";
}

TThumbnail MakeThumbnail(const std::string& bytes, const std::string& extension) {
    TStringStream stream(bytes);
    const std::string kind = Lower(extension);
    if (kind == "jpg" || kind == "jpeg") return JpegThumbnail(stream);
    std::unique_ptr<TBitmap> bitmap;
    if (kind == "png")
        bitmap = std::make_unique<TPNGGraphic>();
    else if (kind == "bmp")
        bitmap = std::make_unique<TBitmap>();
    else
        throw EInvalidGraphic("No thumbnail is made of a ." + extension + " file");
    bitmap->ReadPicture(stream);
    TBoxScaler scaler;
    AddBitmapRows(*bitmap, scaler);
    return scaler.Finish();
}

namespace {

void AppendChunk(std::string& png, const char* type, const std::string& data) {
    const auto be32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            png += static_cast<char>((v >> shift) & 0xFF);
    };
    be32(static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    png += body;
    be32(static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Every row with the Paeth filter: the best of the five on photographs, most of the time.
std::string FilteredRows(const TThumbnail& t) {
    const size_t stride = static_cast<size_t>(t.Width) * 3;
    std::string rows;
    rows.reserve((stride + 1) * static_cast<size_t>(t.Height));
    for (size_t y = 0; y < static_cast<size_t>(t.Height); ++y) {
        const uint8_t* row = &t.Rgb[y * stride];
        const uint8_t* up = y > 0 ? row - stride : nullptr;
        rows += '\x04';
        for (size_t x = 0; x < stride; ++x) {
            const int a = x >= 3 ? row[x - 3] : 0, b = up ? up[x] : 0, c = up && x >= 3 ? up[x - 3] : 0;
            rows += static_cast<char>(static_cast<uint8_t>(row[x] - Paeth(a, b, c)));
        }
    }
    return rows;
}

} // namespace

std::string EncodePng(const TThumbnail& t) {
    const std::string rows = FilteredRows(t);
    uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size()), 9) != Z_OK)
        throw EInvalidGraphic("The thumbnail could not be compressed");
    packed.resize(packedSize);
    std::string header;
    for (const uint32_t v : {static_cast<uint32_t>(t.Width), static_cast<uint32_t>(t.Height)})
        for (int shift = 24; shift >= 0; shift -= 8)
            header += static_cast<char>((v >> shift) & 0xFF);
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, no interlace
    std::string png("\x89PNG\r\n\x1a\n", 8);
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "IDAT", packed);
    AppendChunk(png, "IEND", "");
    return png;
}
