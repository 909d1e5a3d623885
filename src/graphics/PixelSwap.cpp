#include "PixelSwap.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLORA_PIXELSWAP_X86 1
#endif

namespace pixelswap {

namespace detail {

void SwapRedBlue4Plain(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, src += 4, dst += 4) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // One word per pixel: red and blue swap places within it.
        uint32_t v;
        std::memcpy(&v, src, 4);
        v = (v & 0xFF00FF00u) | (v >> 16 & 0xFFu) | (v & 0xFFu) << 16;
        std::memcpy(dst, &v, 4);
#else
        const uint8_t b = src[0], g = src[1], r = src[2], a = src[3];
        dst[0] = r;
        dst[1] = g;
        dst[2] = b;
        dst[3] = a;
#endif
    }
}

void BgrToRgbaPlain(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, src += 3, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = 0xFF;
    }
}

#ifdef QUILLORA_PIXELSWAP_X86
// Four pixels a register. Past the cache, the stores need 16-byte aligned
// places: the pixels before the first such place go one by one.
__attribute__((target("sse2"))) void SwapRedBlue4Sse2(const uint8_t* src, uint8_t* dst, size_t pixels,
                                                      TStore store) {
    size_t i = 0;
    if (store == TStore::PastCache)
        while (i < pixels && reinterpret_cast<uintptr_t>(dst + 4 * i) % 16 != 0)
            ++i;
    SwapRedBlue4Plain(src, dst, i);
    const __m128i greenAlpha = _mm_set1_epi32(int(0xFF00FF00u)), low = _mm_set1_epi32(0xFF);
    for (; i + 4 <= pixels; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
        const __m128i swapped = _mm_or_si128(_mm_and_si128(v, greenAlpha),
                                             _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low),
                                                          _mm_slli_epi32(_mm_and_si128(v, low), 16)));
        __m128i* out = reinterpret_cast<__m128i*>(dst + 4 * i);
        if (store == TStore::PastCache)
            _mm_stream_si128(out, swapped);
        else
            _mm_storeu_si128(out, swapped);
    }
    if (store == TStore::PastCache) _mm_sfence();
    SwapRedBlue4Plain(src + 4 * i, dst + 4 * i, pixels - i);
}

// The byte shuffle does four pixels an instruction.
__attribute__((target("ssse3"))) void BgrToRgbaSsse3(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    size_t i = 0;
    // Reads 16 bytes for 12: stop while a whole load stays inside the row.
    for (; i + 6 <= pixels; i += 4) {
        const __m128i bgr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                         _mm_or_si128(_mm_shuffle_epi8(bgr, order), alpha));
    }
    BgrToRgbaPlain(src + 3 * i, dst + 4 * i, pixels - i);
}

bool HasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

} // namespace detail

void SwapRedBlue4(const uint8_t* src, uint8_t* dst, size_t pixels, TStore store) {
#if defined(QUILLORA_PIXELSWAP_X86) && defined(__SSE2__)
    detail::SwapRedBlue4Sse2(src, dst, pixels, store);
#else
    (void)store;
    detail::SwapRedBlue4Plain(src, dst, pixels);
#endif
}

void BgrToRgba(const uint8_t* src, uint8_t* dst, size_t pixels) {
#ifdef QUILLORA_PIXELSWAP_X86
    if (detail::HasSsse3()) return detail::BgrToRgbaSsse3(src, dst, pixels);
#endif
    detail::BgrToRgbaPlain(src, dst, pixels);
}

} // namespace pixelswap
