#include "graphics/PNGFilters.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace png {

namespace {

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
#endif

template <int Step, bool Plain>
void UndoFilterStep(int filter, uint8_t* row, const uint8_t* prior, size_t length) {
#ifdef __SSE2__
    if constexpr (!Plain && (Step == 3 || Step == 4)) {
        switch (filter) {
        case 1:
            return UndoSubSse2<Step>(row, length);
        case 3:
            return UndoAverageSse2<Step>(row, prior, length);
        case 4:
            return UndoPaethSse2<Step>(row, prior, length);
        }
    }
#endif
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

template <bool Plain>
void UndoFilterAt(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length) {
    switch (step) {
    case 1:
        return UndoFilterStep<1, Plain>(filter, row, prior, length);
    case 2:
        return UndoFilterStep<2, Plain>(filter, row, prior, length);
    case 3:
        return UndoFilterStep<3, Plain>(filter, row, prior, length);
    case 4:
        return UndoFilterStep<4, Plain>(filter, row, prior, length);
    case 6:
        return UndoFilterStep<6, Plain>(filter, row, prior, length);
    default:
        return UndoFilterStep<8, Plain>(filter, row, prior, length);
    }
}

} // namespace

void UndoFilter(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length) {
    UndoFilterAt<false>(filter, step, row, prior, length);
}

void UndoFilterPlain(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length) {
    UndoFilterAt<true>(filter, step, row, prior, length);
}

} // namespace png
