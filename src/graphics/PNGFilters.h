#pragma once
// The five PNG row filters, undone in place. Paeth picks left, then above,
// then upper-left on ties, as the standard orders them. The bytes of a pixel
// (step) are 1 for samples below 8 bits, else 2, 3, 4, 6 or 8.

#include <cstddef>
#include <cstdint>

namespace png {

// Rows handed to the filters have at least this many readable and writable
// bytes after them: the vector versions move whole words.
constexpr size_t kRowPadding = 16;

// row and prior point past the filter byte; length counts the bytes after it.
// A filter type above 4 leaves the row as read.
void UndoFilter(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length);
// The same without vector instructions, on every machine: the reference the
// vector versions are held to.
void UndoFilterPlain(int filter, int step, uint8_t* row, const uint8_t* prior, size_t length);

} // namespace png
