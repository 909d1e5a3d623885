#pragma once
// Red and blue trading places, the one conversion every raster writer here
// needs: 4-byte pixels in place of each other (blue-green-red-alpha and
// red-green-blue-alpha), and 3-byte blue-green-red to opaque 4-byte
// red-green-blue-alpha. The vector versions are chosen inside; the plain ones
// are declared too, so a test can hold every version to the same answer.

#include <cstddef>
#include <cstdint>

namespace pixelswap {

// Where the converted pixels go: a buffer read again soon, or a large raster
// that is not read while it is being filled (written past the cache).
enum class TStore { Cached, PastCache };

// dst[0..3] = src[2], src[1], src[0], src[3] for every pixel; src and dst do not overlap.
void SwapRedBlue4(const uint8_t* src, uint8_t* dst, size_t pixels, TStore store = TStore::Cached);
// dst[0..3] = src[2], src[1], src[0], 0xFF for every pixel.
void BgrToRgba(const uint8_t* src, uint8_t* dst, size_t pixels);

namespace detail {
void SwapRedBlue4Plain(const uint8_t* src, uint8_t* dst, size_t pixels);
void BgrToRgbaPlain(const uint8_t* src, uint8_t* dst, size_t pixels);
#if defined(__x86_64__) || defined(__i386__)
void SwapRedBlue4Sse2(const uint8_t* src, uint8_t* dst, size_t pixels, TStore store);
void BgrToRgbaSsse3(const uint8_t* src, uint8_t* dst, size_t pixels);
bool HasSsse3();
#endif
} // namespace detail

} // namespace pixelswap
