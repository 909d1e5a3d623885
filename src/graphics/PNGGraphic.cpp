#include "graphics/PNGGraphic.h"

#include "graphics/Picture.h"

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
const char* const kCompressionError = "Cannot load image. Compression error found in %s file.";
const char* const kExtraData = "Cannot load image. Extra compressed data found in %s file.";
const char* const kCriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";
const char* const kLz77Error = "LZ77 decompression error.";

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
        std::memcpy(out, FBuffer.data() + FHead, done);
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

uint8_t Scale16(unsigned hi, unsigned lo) {
    return static_cast<uint8_t>(((hi << 8 | lo) * 255u) / 65535u);
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

// ---------------------------------------------------------------- filters
//
// The five row filters undone in place. Paeth picks left, then above, then
// upper-left on ties, as the standard orders them. Rows handed to these have
// at least kRowPadding readable and writable bytes after them.

constexpr size_t kRowPadding = 16;

template <int Step> void UndoSub(uint8_t* row, size_t length) {
    for (size_t i = Step; i < length; ++i)
        row[i] = uint8_t(row[i] + row[i - Step]);
}

void UndoUp(uint8_t* __restrict row, const uint8_t* __restrict prior, size_t length) {
    for (size_t i = 0; i < length; ++i)
        row[i] = uint8_t(row[i] + prior[i]);
}

template <int Step> void UndoAverage(uint8_t* row, const uint8_t* prior, size_t length) {
    const size_t head = std::min<size_t>(Step, length);
    for (size_t i = 0; i < head; ++i)
        row[i] = uint8_t(row[i] + (prior[i] >> 1));
    for (size_t i = Step; i < length; ++i)
        row[i] = uint8_t(row[i] + ((unsigned(row[i - Step]) + prior[i]) >> 1));
}

inline unsigned PaethPredictor(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int ab = pa <= pb ? a : b;
    const int abDistance = pa <= pb ? pa : pb;
    return unsigned(abDistance <= pc ? ab : c);
}

template <int Step> void UndoPaeth(uint8_t* row, const uint8_t* prior, size_t length) {
    const size_t head = std::min<size_t>(Step, length);
    // With no left neighbour, Paeth predicts the byte above.
    for (size_t i = 0; i < head; ++i)
        row[i] = uint8_t(row[i] + prior[i]);
    for (size_t i = Step; i < length; ++i)
        row[i] = uint8_t(row[i] + PaethPredictor(row[i - Step], prior[i], prior[i - Step]));
}

#ifdef __SSE2__
// Sub, Average and Paeth for 3- and 4-byte pixels, one pixel per register.
// The left pixel stays in a register instead of going through memory, and
// every load of the row is made before the store that precedes it, so no
// load waits on a store it partly overlaps. Loads and stores move 4 bytes:
// for 3-byte pixels the fourth lane is a stray byte that the next pixel's
// store overwrites, and the last pixel of a row is stored without it.
inline __m128i Load4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(int(v));
}

inline void Store4(uint8_t* p, __m128i v) {
    const uint32_t x = uint32_t(_mm_cvtsi128_si32(v));
    std::memcpy(p, &x, 4);
}

// The register holds the complement of the left pixel: with ~x for x,
// pavgb's rounding up becomes the standard's rounding down,
// ~a' = pavgb(~a, ~b) - raw, so each pixel waits on two operations only.
template <int Step> void UndoAverageSse2(uint8_t* row, const uint8_t* prior, size_t length) {
    const __m128i ones = _mm_set1_epi8(-1);
    __m128i notLeft = ones, raw = Load4(row);
    size_t i = 0;
    for (; i + Step < length; i += Step) {
        const __m128i notAbove = _mm_xor_si128(Load4(prior + i), ones);
        const __m128i next = Load4(row + i + Step);
        notLeft = _mm_sub_epi8(_mm_avg_epu8(notLeft, notAbove), raw);
        Store4(row + i, _mm_xor_si128(notLeft, ones));
        raw = next;
    }
    const __m128i notAbove = _mm_xor_si128(Load4(prior + i), ones);
    const uint32_t last =
        uint32_t(_mm_cvtsi128_si32(_mm_xor_si128(_mm_sub_epi8(_mm_avg_epu8(notLeft, notAbove), raw), ones)));
    std::memcpy(row + i, &last, Step);
}

template <int Step> void UndoSubSse2(uint8_t* row, size_t length) {
    __m128i left = _mm_setzero_si128(), raw = Load4(row);
    size_t i = 0;
    for (; i + Step < length; i += Step) {
        const __m128i next = Load4(row + i + Step);
        left = _mm_add_epi8(left, raw);
        Store4(row + i, left);
        raw = next;
    }
    const uint32_t last = uint32_t(_mm_cvtsi128_si32(_mm_add_epi8(left, raw)));
    std::memcpy(row + i, &last, Step);
}

// Paeth in 16-bit lanes. Everything that does not depend on the left pixel
// (the distance to above, b xor c) is worked out beside the chain; the
// choice is then "c over b when |a-c| > |a+b-2c|, a unless |b-c| beats the
// nearer of those two", which keeps the standard's tie order.
template <int Step> void UndoPaethSse2(uint8_t* row, const uint8_t* prior, size_t length) {
    const __m128i zero = _mm_setzero_si128(), low = _mm_set1_epi16(0xFF);
    __m128i a = zero, c = zero, raw = Load4(row);
    size_t i = 0;
    for (;; i += Step) {
        const __m128i b = _mm_unpacklo_epi8(Load4(prior + i), zero);
        const __m128i next = Load4(row + i + Step);
        const __m128i d = _mm_sub_epi16(b, c);
        const __m128i pa = _mm_max_epi16(d, _mm_sub_epi16(zero, d));
        const __m128i bc = _mm_xor_si128(b, c);
        const __m128i t = _mm_sub_epi16(a, c), u = _mm_add_epi16(t, d);
        const __m128i pb = _mm_max_epi16(t, _mm_sub_epi16(zero, t));
        const __m128i pc = _mm_max_epi16(u, _mm_sub_epi16(zero, u));
        const __m128i useC = _mm_cmpgt_epi16(pb, pc);
        const __m128i notA = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
        const __m128i bOrC = _mm_xor_si128(b, _mm_and_si128(bc, useC));
        const __m128i predicted = _mm_xor_si128(a, _mm_and_si128(_mm_xor_si128(a, bOrC), notA));
        a = _mm_and_si128(_mm_add_epi16(_mm_unpacklo_epi8(raw, zero), predicted), low);
        if (i + Step >= length) break;
        Store4(row + i, _mm_packus_epi16(a, a));
        c = b;
        raw = next;
    }
    const uint32_t last = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(a, a)));
    std::memcpy(row + i, &last, Step);
}

template <> void UndoSub<3>(uint8_t* row, size_t length) {
    UndoSubSse2<3>(row, length);
}
template <> void UndoSub<4>(uint8_t* row, size_t length) {
    UndoSubSse2<4>(row, length);
}
template <> void UndoAverage<3>(uint8_t* row, const uint8_t* prior, size_t length) {
    UndoAverageSse2<3>(row, prior, length);
}
template <> void UndoAverage<4>(uint8_t* row, const uint8_t* prior, size_t length) {
    UndoAverageSse2<4>(row, prior, length);
}
template <> void UndoPaeth<3>(uint8_t* row, const uint8_t* prior, size_t length) {
    UndoPaethSse2<3>(row, prior, length);
}
template <> void UndoPaeth<4>(uint8_t* row, const uint8_t* prior, size_t length) {
    UndoPaethSse2<4>(row, prior, length);
}
#endif

template <int Step> void UndoFilterStep(int filter, uint8_t* row, const uint8_t* prior, size_t length) {
    switch (filter) {
    case 1:
        UndoSub<Step>(row, length);
        break;
    case 2:
        UndoUp(row, prior, length);
        break;
    case 3:
        UndoAverage<Step>(row, prior, length);
        break;
    case 4:
        UndoPaeth<Step>(row, prior, length);
        break;
    default: // 0, and the unknown types, leave the row as read
        break;
    }
}

void UndoFilter(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length) {
    switch (step) {
    case 1:
        return UndoFilterStep<1>(filter, row, prior, length);
    case 2:
        return UndoFilterStep<2>(filter, row, prior, length);
    case 3:
        return UndoFilterStep<3>(filter, row, prior, length);
    case 4:
        return UndoFilterStep<4>(filter, row, prior, length);
    case 6:
        return UndoFilterStep<6>(filter, row, prior, length);
    default:
        return UndoFilterStep<8>(filter, row, prior, length);
    }
}

// ---------------------------------------------------------------- conversions
//
// One routine per colour type and bit depth turns the unfiltered samples of
// a row into raster pixels; it is chosen once per pass, not per pixel.

using TRowConverter = void (*)(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma);

template <int Bits> void CopyPacked(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    std::memcpy(dst, src, (pixels * Bits + 7) / 8);
}

// 2-bit samples into 4-bit pixels: grey levels are stretched (v x 15 div 3),
// palette indexes keep their value.
template <unsigned Factor> void Widen2To4(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    const size_t bytes = (pixels + 3) / 4;
    for (size_t i = 0; i < bytes; ++i) {
        unsigned v = src[i];
        dst[2 * i] = uint8_t(((v >> 6) & 3) * Factor << 4 | ((v >> 4) & 3) * Factor);
        if (2 * i + 1 < (pixels + 1) / 2)
            dst[2 * i + 1] = uint8_t((((v >> 2) & 3) * Factor) << 4 | (v & 3) * Factor);
    }
}

void Grey16(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    for (size_t i = 0; i < pixels; ++i)
        dst[i] = Scale16(src[2 * i], src[2 * i + 1]);
}

void GreyAlpha8(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    for (size_t i = 0; i < pixels; ++i)
        dst[i] = src[2 * i];
}

void GreyAlpha16(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    for (size_t i = 0; i < pixels; ++i)
        dst[i] = Scale16(src[4 * i], src[4 * i + 1]);
}

template <bool Gamma> inline uint8_t Correct(uint8_t v, const uint8_t* gamma) {
    if constexpr (Gamma)
        return gamma[v];
    else
        return v;
}

template <bool Gamma> void Rgb8(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma) {
    for (size_t i = 0; i < pixels; ++i, src += 3, dst += 3) {
        uint8_t r = src[0], g = src[1], b = src[2];
        dst[0] = Correct<Gamma>(b, gamma);
        dst[1] = Correct<Gamma>(g, gamma);
        dst[2] = Correct<Gamma>(r, gamma);
    }
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// A pixel per load: the byte-swapped word holds blue, green, red in its top
// three bytes. Each 4-byte store runs one byte into the next pixel, which
// the next store overwrites; the last pixel is stored byte by byte.
void SwapRgb(const uint8_t* src, uint8_t* dst, size_t pixels) {
    if (pixels == 0) return;
    for (size_t i = 0; i + 1 < pixels; ++i, src += 3, dst += 3) {
        uint32_t v;
        std::memcpy(&v, src, 4);
        v = __builtin_bswap32(v) >> 8;
        std::memcpy(dst, &v, 4);
    }
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
}

#ifdef __SSE2__
// Sixteen pixels are three registers. Byte j of the output takes source byte
// j + 2, j or j - 2 as j mod 3 is 0, 1 or 2; a mask per register and residue
// picks the bytes, shifts across register borders bring the neighbours in.
struct TRgbMasks {
    alignas(16) uint8_t Bytes[3][3][16];
    constexpr TRgbMasks() : Bytes{} {
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 16; ++j)
                Bytes[k][(16 * k + j) % 3][j] = 0xFF;
    }
};
constexpr TRgbMasks kRgbMasks;

inline __m128i RgbMask(int part, int residue) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kRgbMasks.Bytes[part][residue]));
}

// Byte j of the result is byte j + 2 of the pair (low, high), or byte j - 2 of (below, low).
inline __m128i Down2(__m128i low, __m128i high) {
    return _mm_or_si128(_mm_srli_si128(low, 2), _mm_slli_si128(high, 14));
}
inline __m128i Up2(__m128i below, __m128i low) {
    return _mm_or_si128(_mm_slli_si128(low, 2), _mm_srli_si128(below, 14));
}

inline __m128i SwapPart(int part, __m128i below, __m128i v, __m128i above) {
    return _mm_or_si128(_mm_and_si128(v, RgbMask(part, 1)),
                        _mm_or_si128(_mm_and_si128(Down2(v, above), RgbMask(part, 0)),
                                     _mm_and_si128(Up2(below, v), RgbMask(part, 2))));
}
#endif

// Photographs: sixteen pixels at a time, written past the cache (the raster
// is not read again while decoding); the ends of the row go pixel by pixel.
template <> void Rgb8<false>(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    size_t i = 0;
#ifdef __SSE2__
    while (i < pixels && reinterpret_cast<uintptr_t>(dst + 3 * i) % 16 != 0)
        ++i;
    SwapRgb(src, dst, i);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= pixels; i += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(src + 3 * i);
        const __m128i v0 = _mm_loadu_si128(in), v1 = _mm_loadu_si128(in + 1), v2 = _mm_loadu_si128(in + 2);
        __m128i* out = reinterpret_cast<__m128i*>(dst + 3 * i);
        _mm_stream_si128(out, SwapPart(0, zero, v0, v1));
        _mm_stream_si128(out + 1, SwapPart(1, v0, v1, v2));
        _mm_stream_si128(out + 2, SwapPart(2, v1, v2, zero));
    }
    _mm_sfence();
#endif
    SwapRgb(src + 3 * i, dst + 3 * i, pixels - i);
}
#endif

template <bool Gamma> void Rgb16(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma) {
    for (size_t i = 0; i < pixels; ++i, src += 6, dst += 3) {
        dst[0] = Correct<Gamma>(Scale16(src[4], src[5]), gamma);
        dst[1] = Correct<Gamma>(Scale16(src[2], src[3]), gamma);
        dst[2] = Correct<Gamma>(Scale16(src[0], src[1]), gamma);
    }
}

template <bool Gamma> void Rgba8(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma) {
    for (size_t i = 0; i < pixels; ++i, src += 4, dst += 4) {
        uint8_t r = src[0], g = src[1], b = src[2], a = src[3];
        dst[0] = Correct<Gamma>(b, gamma);
        dst[1] = Correct<Gamma>(g, gamma);
        dst[2] = Correct<Gamma>(r, gamma);
        dst[3] = a;
    }
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Red and blue swap places within each little-endian word.
inline uint32_t SwapRedBlue(uint32_t v) {
    return (v & 0xFF00FF00u) | (v >> 16 & 0xFFu) | (v & 0xFFu) << 16;
}

template <> void Rgba8<false>(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    size_t i = 0;
#ifdef __SSE2__
    // Four pixels at a time, written past the cache: the raster is not read
    // again while decoding, so its lines need not be fetched before being
    // overwritten.
    for (; i < pixels && reinterpret_cast<uintptr_t>(dst + 4 * i) % 16 != 0; ++i) {
        uint32_t v;
        std::memcpy(&v, src + 4 * i, 4);
        v = SwapRedBlue(v);
        std::memcpy(dst + 4 * i, &v, 4);
    }
    const __m128i greenAlpha = _mm_set1_epi32(int(0xFF00FF00u)), low = _mm_set1_epi32(0xFF);
    for (; i + 4 <= pixels; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
        const __m128i swapped = _mm_or_si128(_mm_and_si128(v, greenAlpha),
                                             _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low),
                                                          _mm_slli_epi32(_mm_and_si128(v, low), 16)));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 4 * i), swapped);
    }
    _mm_sfence();
#endif
    for (; i < pixels; ++i) {
        uint32_t v;
        std::memcpy(&v, src + 4 * i, 4);
        v = SwapRedBlue(v);
        std::memcpy(dst + 4 * i, &v, 4);
    }
}
#endif

template <bool Gamma> void Rgba16(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma) {
    for (size_t i = 0; i < pixels; ++i, src += 8, dst += 4) {
        dst[0] = Correct<Gamma>(Scale16(src[4], src[5]), gamma);
        dst[1] = Correct<Gamma>(Scale16(src[2], src[3]), gamma);
        dst[2] = Correct<Gamma>(Scale16(src[0], src[1]), gamma);
        dst[3] = Scale16(src[6], src[7]);
    }
}

template <bool Gamma> TRowConverter ColourConverter(int colorType, int bitDepth) {
    if (colorType == 2) return bitDepth == 8 ? Rgb8<Gamma> : Rgb16<Gamma>;
    return bitDepth == 8 ? Rgba8<Gamma> : Rgba16<Gamma>;
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// For interlaced rows, which go to a small buffer that is read right back.
void Rgb8Cached(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    SwapRgb(src, dst, pixels);
}
void Rgba8Cached(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    for (size_t i = 0; i < pixels; ++i) {
        uint32_t v;
        std::memcpy(&v, src + 4 * i, 4);
        v = SwapRedBlue(v);
        std::memcpy(dst + 4 * i, &v, 4);
    }
}
#endif

// intoRaster: the rows are written straight into the raster, not into a buffer.
TRowConverter ChooseConverter(const TPngHeader& h, bool gamma, bool intoRaster) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (!intoRaster && !gamma && h.BitDepth == 8 && h.ColorType == 2) return Rgb8Cached;
    if (!intoRaster && !gamma && h.BitDepth == 8 && h.ColorType == 6) return Rgba8Cached;
#else
    (void)intoRaster;
#endif
    switch (h.ColorType) {
    case 2:
    case 6:
        return gamma ? ColourConverter<true>(h.ColorType, h.BitDepth)
                     : ColourConverter<false>(h.ColorType, h.BitDepth);
    case 4:
        return h.BitDepth == 8 ? GreyAlpha8 : GreyAlpha16;
    }
    switch (h.BitDepth) {
    case 1:
        return CopyPacked<1>;
    case 2:
        return h.ColorType == 0 ? Widen2To4<5> : Widen2To4<1>;
    case 4:
        return CopyPacked<4>;
    case 8:
        return CopyPacked<8>;
    }
    return Grey16;
}

// ---------------------------------------------------------------- Adam7

struct TPass {
    uint32_t ColumnStart, ColumnStep, RowStart, RowStep;
};

const TPass kAdam7[7] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                         {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
const TPass kWholeImage = {0, 1, 0, 1};

// Spreads the converted pixels of a pass row over their columns of a raster row.
template <int Bytes>
void ScatterBytes(const uint8_t* src, uint8_t* dst, size_t pixels, uint32_t start, uint32_t step) {
    dst += size_t(start) * Bytes;
    const size_t stride = size_t(step) * Bytes;
    for (size_t i = 0; i < pixels; ++i, src += Bytes, dst += stride)
        std::memcpy(dst, src, Bytes);
}

void ScatterBits(const uint8_t* src, uint8_t* dst, size_t pixels, uint32_t start, uint32_t step, int bits) {
    const unsigned mask = (1u << bits) - 1;
    const int perByte = 8 / bits;
    for (size_t i = 0; i < pixels; ++i) {
        unsigned v = (src[i / perByte] >> (8 - bits * int(i % perByte + 1))) & mask;
        size_t x = start + i * step;
        int shift = 8 - bits * int(x % perByte + 1);
        uint8_t& out = dst[x / perByte];
        out = uint8_t((out & ~(mask << shift)) | v << shift);
    }
}

void Scatter(const uint8_t* src, uint8_t* dst, size_t pixels, const TPass& pass, int rasterBits) {
    switch (rasterBits) {
    case 1:
    case 4:
        return ScatterBits(src, dst, pixels, pass.ColumnStart, pass.ColumnStep, rasterBits);
    case 8:
        return ScatterBytes<1>(src, dst, pixels, pass.ColumnStart, pass.ColumnStep);
    case 24:
        return ScatterBytes<3>(src, dst, pixels, pass.ColumnStart, pass.ColumnStep);
    default:
        return ScatterBytes<4>(src, dst, pixels, pass.ColumnStart, pass.ColumnStep);
    }
}

// ---------------------------------------------------------------- image data

// The zlib stream that runs across all IDAT chunks, inflated into whatever
// block of rows the caller hands it. The stream is one stream: the inflater
// is never reset between chunks.
class TImageData {
  public:
    TImageData(TChunkReader& chunks, z_stream& zlib) : FChunks(chunks), FZlib(zlib), FLeft(chunks.Length) {}

    // Fills count bytes. When the image data stops early (a chunk other than
    // IDAT follows) the rest is zeros and no error is raised.
    void Fill(uint8_t* out, size_t count) {
        size_t done = 0;
        while (done < count && !FEnded) {
            const size_t piece = std::min<size_t>(count - done, 1u << 30);
            FZlib.next_out = out + done;
            FZlib.avail_out = static_cast<uInt>(piece);
            InflateInto();
            done += piece - FZlib.avail_out;
            if (FZlib.avail_out != 0) break;
        }
        if (done < count) std::memset(out + done, 0, count - done);
    }

    // Reads and checks, but ignores, the IDAT chunks after the last row; then
    // the header of the chunk that follows them is the reader's current one.
    void Finish() {
        if (FEnded) return;
        while (true) {
            while (FLeft > 0)
                ReadPiece();
            if (!FCrcChecked) FChunks.CheckCrc();
            FChunks.ReadHeader();
            if (FChunks.Type != kIDAT) return;
            FLeft = FChunks.Length;
            FCrcChecked = false;
        }
    }

  private:
    static constexpr uint32_t kPieceBytes = 1u << 20;

    void InflateInto() {
        while (FZlib.avail_out > 0) {
            if (FZlib.avail_in == 0 && !Refill()) return;
            const int result = inflate(&FZlib, Z_PARTIAL_FLUSH);
            if (result == Z_STREAM_END) {
                if (FZlib.avail_out > 0 || FZlib.avail_in > 0 || FLeft > 0) Fail(kExtraData);
                return;
            }
            // With input and room for output, no progress means broken data.
            if (result != Z_OK && (result != Z_BUF_ERROR || FZlib.avail_in > 0)) Fail(kCompressionError);
        }
    }

    // The next piece of IDAT data as inflate's input; false when the image data is over.
    bool Refill() {
        while (FLeft == 0) {
            if (!FCrcChecked) FChunks.CheckCrc();
            FChunks.ReadHeader();
            if (FChunks.Type != kIDAT) {
                FEnded = true;
                return false;
            }
            FLeft = FChunks.Length;
            FCrcChecked = false;
        }
        const uint32_t count = ReadPiece();
        FZlib.next_in = FInput.data();
        FZlib.avail_in = count;
        return true;
    }

    // A chunk that fits one piece has its CRC checked before any of it is inflated.
    uint32_t ReadPiece() {
        const uint32_t count = std::min(FLeft, kPieceBytes);
        FChunks.Require(uint64_t(FLeft) + 4);
        if (FInput.size() < count) FInput.resize(count);
        FChunks.ReadPiece(FInput.data(), count);
        FLeft -= count;
        if (FLeft == 0) {
            FChunks.CheckCrc();
            FCrcChecked = true;
        }
        return count;
    }

    TChunkReader& FChunks;
    z_stream& FZlib;
    uint32_t FLeft;
    bool FCrcChecked = false;
    bool FEnded = false;
    std::vector<uint8_t> FInput;
};

// zlib's inflater for the life of one read; closing it is checked on the
// way out of a successful read, and done quietly after a failure.
class TInflater {
  public:
    TInflater() {
        std::memset(&Stream, 0, sizeof Stream);
        if (inflateInit(&Stream) != Z_OK) throw EGraphicCompression(kLz77Error);
        // Every chunk's CRC-32 already guards the compressed bytes against
        // damage; checking the stream's Adler-32 as well would cost a further
        // pass over the whole inflated image. Its four bytes are still read.
        inflateValidate(&Stream, 0);
    }
    ~TInflater() {
        if (FOpen) inflateEnd(&Stream);
    }
    TInflater(const TInflater&) = delete;
    TInflater& operator=(const TInflater&) = delete;

    void Close() {
        FOpen = false;
        if (inflateEnd(&Stream) != Z_OK) throw EGraphicCompression(kLz77Error);
    }

    z_stream Stream;

  private:
    bool FOpen = true;
};

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
    void DecodePass(TImageData& data, const TPass& pass);
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
    std::unique_ptr<TInflater> FInflater;
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
    FInflater = std::make_unique<TInflater>();
    FChunks.ReadHeader();
    while (HandleChunk())
        FChunks.ReadHeader();
    FInflater->Close();
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
        uint8_t c = FHeader.BitDepth == 16 ? Scale16(v >> 8, v & 255) : uint8_t(v);
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
    SetUpRaster();
    if (FHeader.ColorType == 0 || FHeader.ColorType == 4)
        FGraphic.SetPalette(GreyPalette());
    else if (FHeader.ColorType == 3 && FHavePalette)
        FGraphic.SetPalette(FPalette);
    else if (FHeader.ColorType == 3) // indexes into nothing would load as a black picture
        Fail(kBadPalette);
    FGraphic.SetSize(int(FHeader.Width), int(FHeader.Height));
    if (FGraphic.FHasTransparentColor) FGraphic.SetTransparent(true);

    TImageData data(FChunks, FInflater->Stream);
    if (FHeader.Interlace == 1) {
        for (const TPass& pass : kAdam7)
            if (FHeader.Width > pass.ColumnStart) DecodePass(data, pass);
    } else {
        DecodePass(data, kWholeImage);
    }
    data.Finish();
    FImageRead = true;
}

// Inflates the rows of one pass (the whole image when not interlaced) a block
// of rows at a time, undoes their filters and converts them into the raster.
void TPngDecoder::DecodePass(TImageData& data, const TPass& pass) {
    const uint64_t width = (FHeader.Width - pass.ColumnStart + pass.ColumnStep - 1) / pass.ColumnStep;
    if (FHeader.Height <= pass.RowStart) return;
    const uint64_t rows = (FHeader.Height - pass.RowStart + pass.RowStep - 1) / pass.RowStep;
    const size_t rowLength = static_cast<size_t>(FHeader.RowLength(width));
    // Rows are inflated in blocks of about 256 KiB: large enough that inflate
    // runs its fast loop, small enough to stay in cache for the filters.
    const size_t blockRows = std::clamp<size_t>((256u << 10) / rowLength, 1, static_cast<size_t>(rows));
    std::vector<uint8_t> block(blockRows * rowLength + kRowPadding);
    std::vector<uint8_t> prior(rowLength + kRowPadding, 0);
    const bool direct = pass.ColumnStep == 1;
    const TRowConverter convert = ChooseConverter(FHeader, FGammaOn, direct);
    std::vector<uint8_t> scattered(direct ? 0 : static_cast<size_t>(width) * 4 + 8);
    const int rasterBits = BitsPerPixel(FGraphic.PixelFormat());
    const int step = FHeader.FilterStep();

    for (uint64_t row = 0; row < rows; row += blockRows) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(blockRows, rows - row));
        data.Fill(block.data(), count * rowLength);
        for (size_t i = 0; i < count; ++i) {
            uint8_t* line = block.data() + i * rowLength;
            const uint8_t* above = i == 0 ? prior.data() : line - rowLength;
            UndoFilter(line[0], step, line + 1, above + 1, rowLength - 1);
            uint8_t* target = FGraphic.ScanLine(int(pass.RowStart + (row + i) * pass.RowStep));
            if (direct) {
                convert(line + 1, target, width, FGamma.data());
            } else {
                convert(line + 1, scattered.data(), width, FGamma.data());
                Scatter(scattered.data(), target, width, pass, rasterBits);
            }
        }
        std::memcpy(prior.data(), block.data() + (count - 1) * rowLength, rowLength);
    }
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
    if (Empty() || rect.IsEmpty()) return;
    const int x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, canvas.Width());
    const int y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, canvas.Height());
    if (x0 >= x1 || y0 >= y1) return;
    // A rectangle of another size gets the picture's colours and alpha scaled
    // to it first (nearest neighbour), then mixed in.
    const int64_t dw = rect.Width(), dh = rect.Height();
    std::vector<int> columns(static_cast<size_t>(x1 - x0));
    for (int x = x0; x < x1; ++x)
        columns[size_t(x - x0)] = int((x - rect.Left) * Width() / dw);
    const TBitmap& self = *this; // the const scan lines never unshare the image
    for (int y = y0; y < y1; ++y) {
        const uint8_t* source = self.ScanLine(int((y - rect.Top) * Height() / dh));
        uint8_t* out = reinterpret_cast<uint8_t*>(canvas.ScanLine(y) + x0);
        for (size_t i = 0; i < columns.size(); ++i, out += 4) {
            const uint8_t* p = source + size_t(columns[i]) * 4;
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
