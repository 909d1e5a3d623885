#include "graphics/PNGGraphic.h"

#include "graphics/PNGFilters.h"
#include "graphics/PNGInflate.h"
#include "graphics/PNGRows.h"
#include "graphics/Picture.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

const char* const kInvalidFormat = "Cannot load image. Invalid or unexpected %s image format.";
const char* const kNotSupported = "Cannot load image. %s not supported for %s files.";
const char* const kBadPalette = "Cannot load image. Palette in %s file is invalid.";
const char* const kBadColorFormat = "Invalid color format in %s file.";
const char* const kCrcError = "Cannot load image. CRC error found in %s file.";
const char* const kCriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";

const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

[[noreturn]] void Fail(const char* pattern) {
    throw EInvalidGraphic(Format(pattern, "PNG"));
}

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Chunk types compare with the letters' case ignored: bit 5 of every byte is masked off.
constexpr uint32_t kCaseMask = ~0x20202020u;
constexpr uint32_t ChunkType(const char (&name)[5]) {
    return (uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
            uint32_t(uint8_t(name[2])) << 8 | uint32_t(uint8_t(name[3]))) &
           kCaseMask;
}
constexpr uint32_t kIHDR = ChunkType("IHDR");
constexpr uint32_t kIDAT = ChunkType("IDAT");
constexpr uint32_t kPLTE = ChunkType("PLTE");
constexpr uint32_t kGAMA = ChunkType("gAMA");
constexpr uint32_t kBKGD = ChunkType("bKGD");
constexpr uint32_t kTRNS = ChunkType("tRNS");
constexpr uint32_t kIEND = ChunkType("IEND");

// The stream read through a buffer of its own: a PNG is read in many small
// pieces (chunk headers, CRCs), and each would otherwise be a call down to
// the file. The stream is left at the logical position when the read is done.
class TReadAhead {
  public:
    explicit TReadAhead(TStream& stream)
        : FStream(stream), FStreamPosition(stream.Position()), FEnd(stream.Size()), FBuffer(kBufferBytes) {}

    int64_t Position() const { return FStreamPosition - int64_t(FTail - FHead); }
    int64_t Remaining() const { return FEnd - Position(); }

    // Answers how many bytes were read: fewer only at the end of the stream.
    size_t Read(uint8_t* out, size_t count) {
        size_t done = std::min(count, FTail - FHead);
        if (done > 0) std::memcpy(out, FBuffer.data() + FHead, done); // out may be null when count is 0
        FHead += done;
        while (done < count) {
            // Large reads go straight to the caller's buffer.
            if (count - done >= FBlockBytes) return done + ReadStream(out + done, count - done);
            FHead = 0;
            FTail = ReadStream(FBuffer.data(), FBlockBytes);
            if (FTail == 0) break;
            const size_t part = std::min(count - done, FTail);
            std::memcpy(out + done, FBuffer.data(), part);
            FHead = part;
            done += part;
        }
        return done;
    }
    void ReadBuffer(uint8_t* out, size_t count) {
        if (Read(out, count) != count) throw EReadError("Stream read error");
    }
    void Skip(uint64_t count) {
        if (count <= FTail - FHead) {
            FHead += size_t(count);
            return;
        }
        SetPosition(Position() + int64_t(count));
    }
    void SetPosition(int64_t position) {
        FHead = FTail = 0;
        FStream.SetPosition(position);
        FStreamPosition = position;
    }
    // Leaves the stream where the reading stopped.
    void Release() { FStream.SetPosition(Position()); }
    // Small blocks suit a walk that reads chunk headers and skips their data.
    void SetBlockBytes(size_t bytes) { FBlockBytes = std::clamp<size_t>(bytes, 16, kBufferBytes); }

  private:
    static constexpr size_t kBufferBytes = 64u << 10;

    size_t ReadStream(uint8_t* out, size_t count) {
        size_t done = 0;
        while (done < count) {
            const int64_t n = FStream.Read(out + done, int64_t(count - done));
            if (n <= 0) break;
            done += size_t(n);
        }
        FStreamPosition += int64_t(done);
        return done;
    }

    TStream& FStream;
    int64_t FStreamPosition;
    int64_t FEnd;
    std::vector<uint8_t> FBuffer;
    size_t FBlockBytes = kBufferBytes;
    size_t FHead = 0;
    size_t FTail = 0;
};

// Reads chunks: the 8-byte header, then the data with the CRC-32 that covers
// type and data. Every length is checked against what is left of the stream
// before anything is allocated or skipped, so a lying length ends in "Stream
// read error" rather than a huge buffer.
class TChunkReader {
  public:
    explicit TChunkReader(TReadAhead& input) : FInput(input) {}

    uint32_t Length = 0;
    uint32_t Type = 0; // case-masked
    bool Critical = false;

    void ReadHeader() {
        uint8_t header[8];
        FInput.ReadBuffer(header, 8);
        Length = BigEndian32(header);
        Type = BigEndian32(header + 4) & kCaseMask;
        Critical = (header[4] & 0x20) == 0;
        FCrc = crc32(0, header + 4, 4);
    }
    // The whole data and its CRC.
    void ReadData(std::vector<uint8_t>& data) {
        Require(uint64_t(Length) + 4);
        data.resize(Length);
        ReadPiece(data.data(), Length);
        CheckCrc();
    }
    // Part of the data; CheckCrc follows the last piece.
    void ReadPiece(uint8_t* buffer, uint32_t count) {
        // An empty chunk's buffer may be null, and crc32 of a null buffer would restart the CRC.
        if (count == 0) return;
        FInput.ReadBuffer(buffer, count);
        FCrc = crc32(FCrc, buffer, count);
    }
    void CheckCrc() {
        if (!CrcMatches()) Fail(kCrcError);
    }
    bool CrcMatches() {
        uint8_t stored[4];
        FInput.ReadBuffer(stored, 4);
        return BigEndian32(stored) == uint32_t(FCrc);
    }
    // Data and CRC unread and unchecked.
    void Skip() {
        Require(uint64_t(Length) + 4);
        FInput.Skip(uint64_t(Length) + 4);
    }
    void Require(uint64_t count) {
        if (uint64_t(FInput.Remaining()) < count) throw EReadError("Stream read error");
    }

  private:
    TReadAhead& FInput;
    uLong FCrc = 0;
};

struct TPngHeader {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint8_t BitDepth = 0;
    uint8_t ColorType = 0;
    uint8_t Compression = 0;
    uint8_t Filter = 0;
    uint8_t Interlace = 0;

    int Samples() const {
        static const int samples[7] = {1, 0, 3, 1, 2, 0, 4};
        return ColorType < 7 ? samples[ColorType] : 0;
    }
    bool FormatAccepted() const {
        switch (ColorType) {
        case 0:
            return BitDepth == 1 || BitDepth == 2 || BitDepth == 4 || BitDepth == 8 || BitDepth == 16;
        case 3:
            return BitDepth == 1 || BitDepth == 2 || BitDepth == 4 || BitDepth == 8;
        case 2:
        case 4:
        case 6:
            return BitDepth == 8 || BitDepth == 16;
        }
        return false;
    }
    // Bytes between a byte and the one it is filtered against.
    int FilterStep() const { return std::max(1, BitDepth * Samples() / 8); }
    // Bytes of a row of the given pixel count, filter byte included.
    uint64_t RowLength(uint64_t pixels) const {
        return (pixels * BitDepth + 7) / 8 * uint64_t(Samples()) + 1;
    }
};

TPngHeader ParseHeader(const std::vector<uint8_t>& data) {
    if (data.size() < 13) Fail(kInvalidFormat);
    TPngHeader h;
    h.Width = BigEndian32(data.data());
    h.Height = BigEndian32(data.data() + 4);
    h.BitDepth = data[8];
    h.ColorType = data[9];
    h.Compression = data[10];
    h.Filter = data[11];
    h.Interlace = data[12];
    return h;
}

// Grey and indexed images keep their sample values, 2-bit ones in 4-bit pixels.
TPixelFormat RasterFormat(const TPngHeader& h) {
    switch (h.ColorType) {
    case 2:
        return TPixelFormat::pf24bit;
    case 6:
        return TPixelFormat::pf32bit;
    case 4:
        return TPixelFormat::pf8bit;
    }
    if (h.BitDepth == 1) return TPixelFormat::pf1bit;
    if (h.BitDepth <= 4) return TPixelFormat::pf4bit;
    return TPixelFormat::pf8bit;
}

} // namespace

std::array<uint8_t, 256> PngGammaTable(double fileGamma) {
    if (fileGamma == 0) fileGamma = 1.0;
    const float displayGamma = 2.2f;
    const float exponent = static_cast<float>(1.0 / (fileGamma * double(displayGamma)));
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[size_t(i)] =
            static_cast<uint8_t>(std::nearbyint(std::pow(i / 255.0, double(exponent)) * 255.0));
    return table;
}

namespace {

// ---------------------------------------------------------------- image data

// The data of the IDAT chunks in a row, as the inflater's input. A chunk's
// CRC is checked when its last byte is read; a chunk that fits one pull is
// checked before any of it is inflated.
class TImageData : public png::TInflateSource {
  public:
    // At the header of the first IDAT chunk.
    explicit TImageData(TChunkReader& chunks) : FChunks(chunks), FLeft(chunks.Length) {}

    size_t Pull(uint8_t* out, size_t room, bool& startsChunk) override {
        startsChunk = FFirst;
        FFirst = false;
        while (FLeft == 0) {
            if (!NextChunk()) return 0;
            startsChunk = true;
        }
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(FLeft, room));
        FChunks.Require(uint64_t(FLeft) + 4);
        FChunks.ReadPiece(out, count);
        FLeft -= count;
        if (FLeft == 0) {
            FChunks.CheckCrc();
            FCrcChecked = true;
        }
        return count;
    }
    uint64_t LeftInChunk() const override { return FLeft; }

    // Reads and checks, but ignores, the image data the inflater left; then
    // the header of the chunk that follows it is the reader's current one.
    void Finish() {
        std::vector<uint8_t> scratch(kScratchBytes);
        bool startsChunk = false;
        while (Pull(scratch.data(), scratch.size(), startsChunk) > 0) {
        }
    }

    static constexpr size_t kScratchBytes = 64u << 10;

  private:
    bool NextChunk() {
        if (FEnded) return false;
        if (!FCrcChecked) FChunks.CheckCrc();
        FChunks.ReadHeader();
        if (FChunks.Type != kIDAT) {
            FEnded = true;
            return false;
        }
        FLeft = FChunks.Length;
        FCrcChecked = false;
        return true;
    }

    TChunkReader& FChunks;
    uint32_t FLeft;
    bool FFirst = true;
    bool FCrcChecked = false;
    bool FEnded = false;
};

// Loading a picture may take its raster and at most this much besides.
constexpr uint64_t kWorkingBudget = 64u << 20;
// Rows are inflated in blocks of about this size: large enough that the
// inflater runs its fast loop, small enough to stay in cache for the filters.
constexpr uint64_t kBlockTarget = 256u << 10;

} // namespace

// ---------------------------------------------------------------- decoder

// One read of one PNG into a TPNGGraphic: the header pass, then the main pass.
class TPngDecoder {
  public:
    TPngDecoder(TPNGGraphic& graphic, TStream& stream) : FGraphic(graphic), FInput(stream), FChunks(FInput) {}

    void Read() {
        const int64_t start = FInput.Position();
        FInput.SetBlockBytes(64);
        HeaderPass();
        FInput.SetBlockBytes(SIZE_MAX);
        FInput.SetPosition(start + 8);
        MainPass();
        FInput.Release();
    }

  private:
    void HeaderPass();
    void ReadSignatureAndHeader();
    void MainPass();
    bool HandleChunk();
    void ReadPalette();
    void ReadGamma();
    void ReadTransparency();
    void SetUpRaster();
    void ReadImage();
    size_t BlockBytes() const;
    void CheckWorkingMemory() const;
    bool DecodePass(png::TPngInflater& inflater, const png::TPass& pass);
    std::vector<TPaletteEntry> GreyPalette() const;
    TColor32 GreyColor(unsigned sample) const;

    TPNGGraphic& FGraphic;
    TReadAhead FInput;
    TChunkReader FChunks;
    TPngHeader FHeader;
    std::vector<uint8_t> FRaw;
    std::vector<TPaletteEntry> FPalette;
    bool FHavePalette = false;
    bool FRasterSetUp = false;
    bool FImageRead = false;
    bool FGammaOn = false;
    std::array<uint8_t, 256> FGamma{};
};

void TPngDecoder::ReadSignatureAndHeader() {
    uint8_t signature[8];
    if (FInput.Read(signature, 8) != 8 || std::memcmp(signature, kSignature, 8) != 0) Fail(kInvalidFormat);
    FChunks.ReadHeader();
    if (FChunks.Type != kIHDR || FChunks.Length > (1u << 20)) Fail(kInvalidFormat);
    FChunks.Require(uint64_t(FChunks.Length) + 4);
    FRaw.resize(FChunks.Length);
    FChunks.ReadPiece(FRaw.data(), FChunks.Length);
    if (!FChunks.CrcMatches()) Fail(kInvalidFormat);
    FHeader = ParseHeader(FRaw);
}

void TPngDecoder::HeaderPass() {
    ReadSignatureAndHeader();
    // Past 2^28 pixels the raster is refused as a broken file, before any size arithmetic.
    if (FHeader.Width == 0 || FHeader.Height == 0 || CheckedPixelCount(FHeader.Width, FHeader.Height) < 0)
        Fail(kInvalidFormat);
    FGraphic.FFileGamma = 1.0;
    while (true) {
        FChunks.ReadHeader();
        if (FChunks.Type == kIEND) break;
        if (FChunks.Type != kGAMA) {
            FChunks.Skip();
            continue;
        }
        FChunks.ReadData(FRaw);
        if (FRaw.size() >= 4) FGraphic.FFileGamma = BigEndian32(FRaw.data()) / 100000.0;
        break;
    }
}

void TPngDecoder::MainPass() {
    FGraphic.FTransparencyTable.fill(255);
    FGraphic.FHasTransparentColor = false;
    FGraphic.FTransparentColor = 0;
    FChunks.ReadHeader();
    FChunks.ReadData(FRaw);
    FHeader = ParseHeader(FRaw);
    if (FHeader.Compression != 0)
        throw EInvalidGraphic(Format(kNotSupported, "The compression scheme is", "PNG"));
    if (!FHeader.FormatAccepted()) Fail(kBadColorFormat);
    FChunks.ReadHeader();
    while (HandleChunk())
        FChunks.ReadHeader();
    // A file with no image data is not a picture, even when it ends properly.
    if (!FImageRead) Fail(kInvalidFormat);
}

// Handles the chunk whose header was just read; false once IEND is reached.
bool TPngDecoder::HandleChunk() {
    switch (FChunks.Type) {
    case kIDAT:
        if (FImageRead) break;
        ReadImage();
        break; // the chunk after the image data is handled like any other
    case kPLTE:
        ReadPalette();
        return true;
    case kGAMA:
        ReadGamma();
        return true;
    case kBKGD: // clears the raster before every pixel is written: no visible effect
        FChunks.ReadData(FRaw);
        return true;
    case kTRNS:
        ReadTransparency();
        return true;
    }
    FChunks.Skip();
    if (FChunks.Type == kIEND) return false;
    if (FChunks.Critical && FChunks.Type != kIDAT) throw EInvalidGraphic(kCriticalChunk);
    return true;
}

void TPngDecoder::ReadPalette() {
    if (FChunks.Length % 3 != 0) Fail(kBadPalette);
    FChunks.ReadData(FRaw);
    if (FHeader.ColorType != 3) return;
    SetUpRaster();
    // A raster palette holds at most 256 colours; more could never be indexed.
    const size_t count = std::min<size_t>(FRaw.size() / 3, 256);
    FPalette.assign(count, TPaletteEntry{});
    for (size_t i = 0; i < count; ++i)
        FPalette[i] = TPaletteEntry{FRaw[3 * i], FRaw[3 * i + 1], FRaw[3 * i + 2], 0};
    FHavePalette = true;
}

void TPngDecoder::ReadGamma() {
    FChunks.ReadData(FRaw);
    if (FRaw.size() < 4) return;
    FGraphic.FFileGamma = BigEndian32(FRaw.data()) / 100000.0;
    FGamma = PngGammaTable(FGraphic.FFileGamma);
    FGammaOn = true;
}

void TPngDecoder::ReadTransparency() {
    FChunks.ReadData(FRaw);
    const auto sample = [this](size_t i) { return unsigned(FRaw[2 * i] << 8 | FRaw[2 * i + 1]); };
    const auto to8 = [this](unsigned v) {
        uint8_t c = FHeader.BitDepth == 16 ? png::Scale16(v >> 8, v & 255) : uint8_t(v);
        return FGammaOn ? FGamma[c] : c;
    };
    switch (FHeader.ColorType) {
    case 3:
        FGraphic.FTransparencyTable.fill(255);
        std::copy_n(FRaw.begin(), std::min<size_t>(FRaw.size(), 256), FGraphic.FTransparencyTable.begin());
        break;
    case 0:
        if (FRaw.size() < 2) return;
        FGraphic.FHasTransparentColor = true;
        FGraphic.FTransparentColor = GreyColor(sample(0));
        break;
    case 2:
        if (FRaw.size() < 6) return;
        FGraphic.FHasTransparentColor = true;
        FGraphic.FTransparentColor = MakeColor32(to8(sample(0)), to8(sample(1)), to8(sample(2)));
        break;
    }
}

// The colour a grey sample shows as, through the grey palette.
TColor32 TPngDecoder::GreyColor(unsigned sample) const {
    const unsigned top = (1u << FHeader.BitDepth) - 1;
    sample = std::min(sample, top);
    const unsigned level = FHeader.BitDepth == 16 ? sample * 255u / 65535u : sample * 255u / top;
    const uint8_t c = FGammaOn ? FGamma[level] : uint8_t(level);
    return MakeColor32(c, c, c);
}

std::vector<TPaletteEntry> TPngDecoder::GreyPalette() const {
    const int bits = BitsPerPixel(RasterFormat(FHeader));
    const unsigned n = 1u << bits;
    std::vector<TPaletteEntry> palette(n);
    for (unsigned i = 0; i < n; ++i) {
        // The gamma table is looked up at the level the entry stands for.
        const unsigned level = i * (255 / (n - 1));
        const uint8_t c = FGammaOn ? FGamma[level] : uint8_t(level);
        palette[i] = TPaletteEntry{c, c, c, 0};
    }
    return palette;
}

void TPngDecoder::SetUpRaster() {
    if (FRasterSetUp) return;
    FGraphic.SetSize(0, 0);
    FGraphic.SetPixelFormat(RasterFormat(FHeader));
    FGraphic.SetHasAlpha(FHeader.ColorType == 6);
    FRasterSetUp = true;
}

void TPngDecoder::ReadImage() {
    CheckWorkingMemory();
    SetUpRaster();
    if (FHeader.ColorType == 0 || FHeader.ColorType == 4)
        FGraphic.SetPalette(GreyPalette());
    else if (FHeader.ColorType == 3 && FHavePalette)
        FGraphic.SetPalette(FPalette);
    else if (FHeader.ColorType == 3) // indexes into nothing would load as a black picture
        Fail(kBadPalette);
    FGraphic.SetSize(int(FHeader.Width), int(FHeader.Height));
    if (FGraphic.FHasTransparentColor) FGraphic.SetTransparent(true);

    TImageData data(FChunks);
    png::TPngInflater inflater(data, BlockBytes());
    bool whole = true;
    if (FHeader.Interlace == 1) {
        for (const png::TPass& pass : png::kAdam7)
            whole = whole && DecodePass(inflater, pass);
    } else {
        whole = DecodePass(inflater, png::kWholeImage);
    }
    if (whole) inflater.Finish();
    data.Finish();
    inflater.Close();
    FImageRead = true;
}

// The most one block of rows takes: the passes' rows are no longer than the
// whole width's, and no pass has more rows than the picture.
size_t TPngDecoder::BlockBytes() const {
    const uint64_t rowLength = FHeader.RowLength(FHeader.Width);
    return static_cast<size_t>(std::min(std::max(kBlockTarget, rowLength), rowLength * FHeader.Height));
}

// A picture whose rows alone would take more than the budget is refused as
// broken: a few bytes of header can claim rows of gigabytes.
void TPngDecoder::CheckWorkingMemory() const {
    const uint64_t rowLength = FHeader.RowLength(FHeader.Width);
    const uint64_t blockBytes = std::max(kBlockTarget, rowLength);
    const uint64_t scattered = FHeader.Interlace == 1 ? uint64_t(FHeader.Width) * 4 + 8 : 0;
    const uint64_t buffers = 2 * TImageData::kScratchBytes; // the stream's read-ahead, the skipped data
    const uint64_t working =
        png::TPngInflater::WorkingBytes(0) + blockBytes + rowLength + png::kRowPadding + scattered + buffers;
    if (working > kWorkingBudget) Fail(kInvalidFormat);
}

// Inflates the rows of one pass (the whole image when not interlaced) a block
// of rows at a time, undoes their filters and converts them into the raster.
// False when the image data ended within the pass.
bool TPngDecoder::DecodePass(png::TPngInflater& inflater, const png::TPass& pass) {
    if (FHeader.Width <= pass.ColumnStart || FHeader.Height <= pass.RowStart) return true;
    const uint64_t width = (FHeader.Width - pass.ColumnStart + pass.ColumnStep - 1) / pass.ColumnStep;
    const uint64_t rows = (FHeader.Height - pass.RowStart + pass.RowStep - 1) / pass.RowStep;
    const size_t rowLength = static_cast<size_t>(FHeader.RowLength(width));
    const size_t blockRows =
        std::clamp<size_t>(size_t(kBlockTarget) / rowLength, 1, static_cast<size_t>(rows));
    TPixelBuffer prior(rowLength + png::kRowPadding); // zeros: the row above the first
    const bool direct = pass.ColumnStep == 1;
    const png::TRowConverter convert =
        png::ChooseConverter(FHeader.ColorType, FHeader.BitDepth, FGammaOn, direct);
    TPixelBuffer scattered(direct ? 0 : static_cast<size_t>(width) * 4 + 8);
    const int rasterBits = BitsPerPixel(FGraphic.PixelFormat());
    const int step = FHeader.FilterStep();

    for (uint64_t row = 0; row < rows; row += blockRows) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(blockRows, rows - row));
        size_t produced = 0;
        uint8_t* block = inflater.Inflate(count * rowLength, produced);
        const bool ended = produced < count * rowLength;
        size_t ready = count;
        if (ended) {
            // The image data ended: the row it ended in is finished with
            // zeros, and the rows after it keep the zeros of the new raster,
            // which is what zero rows would convert to.
            ready = (produced + rowLength - 1) / rowLength;
            std::memset(block + produced, 0, ready * rowLength - produced);
        }
        for (size_t i = 0; i < ready; ++i) {
            uint8_t* line = block + i * rowLength;
            const uint8_t* above = i == 0 ? prior.data() : line - rowLength;
            png::UndoFilter(line[0], step, line + 1, above + 1, rowLength - 1);
            uint8_t* target = FGraphic.ScanLine(int(pass.RowStart + (row + i) * pass.RowStep));
            if (direct) {
                convert(line + 1, target, width, FGamma.data());
            } else {
                convert(line + 1, scattered.data(), width, FGamma.data());
                png::Scatter(scattered.data(), target, width, pass, rasterBits);
            }
        }
        if (ended) return false;
        std::memcpy(prior.data(), block + (count - 1) * rowLength, rowLength);
    }
    return true;
}

void TPNGGraphic::ReadPicture(TStream& stream) {
    try {
        TPngDecoder(*this, stream).Read();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    }
    Changed();
}

// ---------------------------------------------------------------- drawing

void TPNGGraphic::DrawInRect(TCanvas& canvas, const TRect& rect) {
    if (PixelFormat() != TPixelFormat::pf32bit || !HasAlpha()) return TBitmap::DrawInRect(canvas, rect);
    // In 64 bits throughout: a rectangle may span more than an int, and a
    // column times the picture's width overflows one for wide pictures.
    const int64_t left = rect.Left, top = rect.Top;
    const int64_t dw = int64_t(rect.Right) - left, dh = int64_t(rect.Bottom) - top;
    if (Empty() || dw <= 0 || dh <= 0) return;
    const int x0 = int(std::max<int64_t>(left, 0)), x1 = int(std::min<int64_t>(rect.Right, canvas.Width()));
    const int y0 = int(std::max<int64_t>(top, 0)), y1 = int(std::min<int64_t>(rect.Bottom, canvas.Height()));
    if (x0 >= x1 || y0 >= y1) return;
    // A rectangle of another size gets the picture's colours and alpha scaled
    // to it first (nearest neighbour), then mixed in. The column table covers
    // only what is drawn of the rectangle.
    std::vector<size_t> columns(static_cast<size_t>(x1 - x0));
    for (int x = x0; x < x1; ++x)
        columns[size_t(x - x0)] = static_cast<size_t>((x - left) * Width() / dw);
    const TBitmap& self = *this; // the const scan lines never unshare the image
    for (int y = y0; y < y1; ++y) {
        const uint8_t* source = self.ScanLine(int((y - top) * Height() / dh));
        uint8_t* out = reinterpret_cast<uint8_t*>(canvas.ScanLine(y) + x0);
        for (size_t i = 0; i < columns.size(); ++i, out += 4) {
            const uint8_t* p = source + columns[i] * 4;
            const unsigned a = p[3];
            TColor32 d;
            std::memcpy(&d, out, 4);
            const auto mix = [a](unsigned under, unsigned over) {
                return (under * (256 - a) + over * a) >> 8;
            };
            d = (d & 0xFF000000) | mix((d >> 16) & 255, p[2]) << 16 | mix((d >> 8) & 255, p[1]) << 8 |
                mix(d & 255, p[0]);
            std::memcpy(out, &d, 4);
        }
    }
}

void RegisterPngFormat() {
    RegisterPictureFormat(
        "png", "Portable network graphics",
        TGraphicClass{"TPNGGraphic", [] { return std::unique_ptr<TGraphic>(new TPNGGraphic); }});
}
