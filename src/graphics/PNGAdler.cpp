#include "graphics/PNGAdler.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>

namespace png {

namespace {
constexpr uint32_t kAdlerBase = 65521;
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr size_t kAdlerRun = 5552;
} // namespace

uint32_t Adler32Plain(uint32_t adler, const uint8_t* data, size_t length) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (length > 0) {
        size_t n = std::min(length, kAdlerRun);
        length -= n;
        for (; n > 0; --n) {
            a += *data++;
            b += a;
        }
        a %= kAdlerBase;
        b %= kAdlerBase;
    }
    return b << 16 | a;
}

#ifdef __SSE2__
namespace {
inline uint64_t Sum32(__m128i v) {
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return uint64_t(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
}
} // namespace

// 32 bytes a step: their plain sum by psadbw, their sum weighted 32..1 by
// pmaddwd, and the running sums before each step kept apart, so that b
// gains 32 x those at the end of a run.
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length) {
    uint64_t a = adler & 0xFFFF, b = adler >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i w0 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25),
                  w1 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i w2 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9),
                  w3 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    size_t steps = length / 32;
    while (steps > 0) {
        const size_t run = std::min(steps, kAdlerRun / 32);
        steps -= run;
        __m128i sums = zero, before = zero, weighted = zero;
        for (size_t i = 0; i < run; ++i, data += 32) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
            before = _mm_add_epi32(before, sums);
            sums = _mm_add_epi32(sums, _mm_add_epi32(_mm_sad_epu8(x, zero), _mm_sad_epu8(y, zero)));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), w0));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), w1));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(y, zero), w2));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(y, zero), w3));
        }
        b = (b + a * 32 * run + 32 * Sum32(before) + Sum32(weighted)) % kAdlerBase;
        a = (a + Sum32(sums)) % kAdlerBase;
    }
    return Adler32Plain(uint32_t(b << 16 | a), data, length % 32);
}
#else
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length) {
    return Adler32Plain(adler, data, length);
}
#endif

} // namespace png
