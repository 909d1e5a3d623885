#include "graphics/PNGRows.h"
#include "graphics/PixelSwap.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstring>

namespace png {

namespace {

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

// Red and blue swap places; the raster is not read again while decoding, so
// its lines need not be fetched before being overwritten.
template <> void Rgba8<false>(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t*) {
    pixelswap::SwapRedBlue4(src, dst, pixels, pixelswap::TStore::PastCache);
}

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
    pixelswap::SwapRedBlue4(src, dst, pixels);
}
#endif

} // namespace

TRowConverter ChooseConverter(int colorType, int bitDepth, bool gamma, bool intoRaster) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (!intoRaster && !gamma && bitDepth == 8 && colorType == 2) return Rgb8Cached;
    if (!intoRaster && !gamma && bitDepth == 8 && colorType == 6) return Rgba8Cached;
#else
    (void)intoRaster;
#endif
    switch (colorType) {
    case 2:
    case 6:
        return gamma ? ColourConverter<true>(colorType, bitDepth)
                     : ColourConverter<false>(colorType, bitDepth);
    case 4:
        return bitDepth == 8 ? GreyAlpha8 : GreyAlpha16;
    }
    switch (bitDepth) {
    case 1:
        return CopyPacked<1>;
    case 2:
        return colorType == 0 ? Widen2To4<5> : Widen2To4<1>;
    case 4:
        return CopyPacked<4>;
    case 8:
        return CopyPacked<8>;
    }
    return Grey16;
}

// ---------------------------------------------------------------- Adam7

namespace {

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

} // namespace

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

} // namespace png
