// Every version of the red/blue swap gives the plain loop's bytes, for every
// length around the vector widths and every alignment of source and target,
// and none writes past the pixels it was given.

#include "graphics/PixelSwap.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using TConvert = std::function<void(const uint8_t*, uint8_t*, size_t)>;

std::vector<uint8_t> Noise(size_t n) {
    std::vector<uint8_t> bytes(n);
    uint32_t seed = 2463534242u;
    for (uint8_t& b : bytes) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        b = static_cast<uint8_t>(seed);
    }
    return bytes;
}

// Runs convert on pixels at every offset; the bytes around the target stay as they were.
void ExpectSameAsPlain(const TConvert& plain, const TConvert& convert, size_t in, size_t out) {
    const std::vector<uint8_t> source = Noise(40 * in + 16);
    for (size_t pixels = 0; pixels <= 37; ++pixels)
        for (size_t srcOffset = 0; srcOffset < 4; ++srcOffset)
            for (size_t dstOffset = 0; dstOffset < 16; dstOffset += 3) {
                std::vector<uint8_t> want(40 * out + 32, 0xA5), got(want);
                plain(source.data() + srcOffset, want.data() + dstOffset, pixels);
                convert(source.data() + srcOffset, got.data() + dstOffset, pixels);
                ASSERT_EQ(got, want) << pixels << " pixels, offsets " << srcOffset << "/" << dstOffset;
            }
}

} // namespace

TEST(PixelSwap, EveryVersionAgreesWithThePlainLoop) {
    using namespace pixelswap;
    const TConvert plain4 = detail::SwapRedBlue4Plain, plain3 = detail::BgrToRgbaPlain;
    struct TCase {
        const char* Name;
        TConvert Plain, Convert;
        size_t In, Out;
    };
    std::vector<TCase> cases{
        {"SwapRedBlue4 cached", plain4, [](auto s, auto d, size_t n) { SwapRedBlue4(s, d, n); }, 4, 4},
        {"SwapRedBlue4 past the cache", plain4,
         [](auto s, auto d, size_t n) { SwapRedBlue4(s, d, n, TStore::PastCache); }, 4, 4},
        {"BgrToRgba", plain3, BgrToRgba, 3, 4},
#if defined(__x86_64__) || defined(__i386__)
        {"SSE2 cached", plain4, [](auto s, auto d, size_t n) { detail::SwapRedBlue4Sse2(s, d, n, TStore::Cached); },
         4, 4},
        {"SSE2 past the cache", plain4,
         [](auto s, auto d, size_t n) { detail::SwapRedBlue4Sse2(s, d, n, TStore::PastCache); }, 4, 4},
#endif
    };
#if defined(__x86_64__) || defined(__i386__)
    if (detail::HasSsse3()) cases.push_back({"SSSE3", plain3, detail::BgrToRgbaSsse3, 3, 4});
#endif
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ExpectSameAsPlain(c.Plain, c.Convert, c.In, c.Out);
    }
}

TEST(PixelSwap, PlainLoopsSwapRedAndBlue) {
    const uint8_t bgra[] = {1, 2, 3, 4, 5, 6, 7, 8}, bgr[] = {1, 2, 3, 4, 5, 6};
    uint8_t out[8];
    pixelswap::detail::SwapRedBlue4Plain(bgra, out, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
    pixelswap::detail::BgrToRgbaPlain(bgr, out, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{3, 2, 1, 255, 6, 5, 4, 255}));
}
