#pragma once
// Reads little-endian fields from a block of bytes that may come from a
// broken or hostile file: every offset and length is checked against the
// block, and a read past its end raises instead of answering zeros.

#include "core/ByteOrder.h"
#include "core/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// A field that lies (partly) outside its block.
QUILLORA_EXCEPTION(EShortBlock, EReadError);

class TBoundedReader {
  public:
    TBoundedReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    const uint8_t* Data() const { return FData; }
    size_t Size() const { return FSize; }
    bool Has(size_t offset, size_t count) const { return offset <= FSize && count <= FSize - offset; }
    void Need(size_t offset, size_t count) const {
        if (!Has(offset, count)) RaiseShort();
    }
    [[noreturn]] static void RaiseShort() { throw EShortBlock("Stream read error"); }
    const uint8_t* Bytes(size_t offset, size_t count) const {
        Need(offset, count);
        return FData + offset;
    }
    // The part from offset to offset + count as a reader of its own.
    TBoundedReader Sub(size_t offset, size_t count) const {
        return TBoundedReader(Bytes(offset, count), count);
    }

    uint8_t U8(size_t offset) const { return *Bytes(offset, 1); }
    uint16_t U16(size_t offset) const { return Get16(Bytes(offset, 2)); }
    int16_t I16(size_t offset) const { return static_cast<int16_t>(U16(offset)); }
    uint32_t U32(size_t offset) const { return Get32(Bytes(offset, 4)); }
    int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
    float F32(size_t offset) const {
        const uint32_t bits = U32(offset);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // How many elements of elementSize fit from offset to the end (no multiplication).
    size_t Fits(size_t offset, size_t elementSize) const {
        return offset <= FSize ? (FSize - offset) / elementSize : 0;
    }

  private:
    const uint8_t* FData;
    size_t FSize;
};
