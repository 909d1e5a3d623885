#include "net/IdBuffer.h"

#include "core/Exceptions.h"
#include "net/IdException.h"

#include <algorithm>
#include <cstring>
#include <limits>

void TIdSimpleBuffer::CheckCount(int32_t count) const {
    if (count < 0 || count > Size()) throw EIdNotEnoughDataInBuffer(RSNotEnoughDataInBuffer);
}

void TIdSimpleBuffer::Notify(int32_t count) {
    if (OnRemove) OnRemove(this, count);
}

void TIdSimpleBuffer::EnsureCapacity(int64_t needed) {
    if (needed <= FCapacity) return;
    constexpr int64_t limit = std::numeric_limits<int32_t>::max();
    if (needed > limit) throw EOutOfMemory("Out of memory while expanding memory stream");
    int64_t capacity = std::max<int64_t>({needed, static_cast<int64_t>(FCapacity) * 2, 4096});
    capacity = std::min(capacity, limit);
    // No zero fill: every byte is written before it becomes part of the buffer.
    std::unique_ptr<uint8_t[]> data(new uint8_t[static_cast<size_t>(capacity)]);
    if (FSize > 0) std::memcpy(data.get(), FData.get(), static_cast<size_t>(FSize));
    FData = std::move(data);
    FCapacity = static_cast<int32_t>(capacity);
}

void TIdSimpleBuffer::Append(const void* data, int32_t count) {
    if (count <= 0 || data == nullptr) return;
    std::memcpy(Reserve(count), data, static_cast<size_t>(count));
    Commit(count);
}

uint8_t* TIdSimpleBuffer::Reserve(int32_t count) {
    EnsureCapacity(static_cast<int64_t>(FSize) + std::max(count, 0));
    return FData.get() + FSize;
}

void TIdSimpleBuffer::Commit(int32_t count) {
    FSize += std::clamp(count, 0, FCapacity - FSize);
}

void TIdSimpleBuffer::SetSize(int32_t newSize) {
    newSize = std::max(newSize, 0);
    EnsureCapacity(newSize);
    FSize = newSize;
}

void TIdSimpleBuffer::Clear() {
    FSize = 0;
}

std::string TIdSimpleBuffer::TakeFront(int32_t count) {
    CheckCount(count);
    std::string text(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(count));
    DropFront(count);
    return text;
}

void TIdSimpleBuffer::DropFront(int32_t count) {
    CheckCount(count);
    if (count > 0 && count < FSize)
        std::memmove(FData.get(), FData.get() + count, static_cast<size_t>(FSize - count));
    FSize -= count;
    Notify(count);
}

std::string TIdSimpleBuffer::ToString() const {
    return std::string(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
}

void TIdManagedBuffer::SetSize(int32_t newSize) {
    newSize = std::max(newSize, 0);
    EnsureCapacity(static_cast<int64_t>(FReadOffset) + newSize);
    FSize = FReadOffset + newSize;
}

void TIdManagedBuffer::Clear() {
    FSize = 0;
    FReadOffset = 0;
}

void TIdManagedBuffer::DropFront(int32_t count) {
    CheckCount(count);
    if (count == Size()) {
        Clear();
    } else {
        FReadOffset += count;
        if (FReadOffset >= CompactThreshold) {
            std::memmove(FData.get(), FData.get() + FReadOffset, static_cast<size_t>(FSize - FReadOffset));
            FSize -= FReadOffset;
            FReadOffset = 0;
        }
    }
    Notify(count);
}
