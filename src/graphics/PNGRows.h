#pragma once
// PNG rows into raster rows: one routine per colour type and bit depth turns
// the unfiltered samples of a row into raster pixels, chosen once per pass,
// not per pixel; Adam7 passes spread their pixels over the raster's columns.

#include <cstddef>
#include <cstdint>

namespace png {

using TRowConverter = void (*)(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* gamma);

// intoRaster: the rows are written straight into the raster, not into a buffer.
TRowConverter ChooseConverter(int colorType, int bitDepth, bool gamma, bool intoRaster);

// A 16-bit sample cut (not rounded) to 8 bits.
inline uint8_t Scale16(unsigned hi, unsigned lo) {
    return static_cast<uint8_t>(((hi << 8 | lo) * 255u) / 65535u);
}

struct TPass {
    uint32_t ColumnStart, ColumnStep, RowStart, RowStep;
};

inline constexpr TPass kAdam7[7] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                    {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
inline constexpr TPass kWholeImage = {0, 1, 0, 1};

// Spreads the converted pixels of a pass row over their columns of a raster row.
void Scatter(const uint8_t* src, uint8_t* dst, size_t pixels, const TPass& pass, int rasterBits);

} // namespace png
