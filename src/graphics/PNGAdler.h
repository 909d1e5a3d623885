#pragma once
// Adler-32 of the zlib format, the check value at the end of a PNG's image
// data. Computed by the reader on the inflated rows while they are in cache.

#include <cstddef>
#include <cstdint>

namespace png {

// The vector version where the machine has SSE2; the plain one is the
// reference it is held to.
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length);
uint32_t Adler32Plain(uint32_t adler, const uint8_t* data, size_t length);

} // namespace png
