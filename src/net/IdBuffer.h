#pragma once
// Byte buffers of the connection: the receive scratch and write batch
// (TIdSimpleBuffer) and the input queue (TIdManagedBuffer, a FIFO whose front
// is consumed lazily so that cutting lines never moves the rest).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TIdSimpleBuffer {
  public:
    using TRemoveEvent = std::function<void(TIdSimpleBuffer* sender, int32_t byteCount)>;

    TIdSimpleBuffer() = default;
    virtual ~TIdSimpleBuffer() = default;
    TIdSimpleBuffer(const TIdSimpleBuffer&) = delete;
    TIdSimpleBuffer& operator=(const TIdSimpleBuffer&) = delete;

    virtual int32_t Size() const { return FSize; }
    virtual const uint8_t* Memory() const { return FData.get(); }
    uint8_t* Memory() { return const_cast<uint8_t*>(static_cast<const TIdSimpleBuffer*>(this)->Memory()); }

    void Append(const void* data, int32_t count);
    void Append(const std::string& text) { Append(text.data(), static_cast<int32_t>(text.size())); }
    // Room for count more bytes at the physical end; Commit makes count of them part of the buffer.
    uint8_t* Reserve(int32_t count);
    void Commit(int32_t count);
    // Sets the size of the visible part; new bytes are undefined.
    virtual void SetSize(int32_t newSize);
    virtual void Clear();

    // The first count bytes as text, removed; EIdNotEnoughDataInBuffer when fewer are held.
    std::string TakeFront(int32_t count);
    // Removes the first count bytes; EIdNotEnoughDataInBuffer when fewer are held.
    virtual void DropFront(int32_t count);
    std::string ToString() const;

    TRemoveEvent OnRemove;

  protected:
    void Notify(int32_t count);
    void EnsureCapacity(int64_t needed);
    void CheckCount(int32_t count) const;

    std::unique_ptr<uint8_t[]> FData;
    int32_t FSize = 0; // physical bytes in use
    int32_t FCapacity = 0;
};

class TIdManagedBuffer : public TIdSimpleBuffer {
  public:
    static constexpr int32_t CompactThreshold = 0x8000;
    using TIdSimpleBuffer::Memory;

    int32_t Size() const override { return FSize - FReadOffset; }
    const uint8_t* Memory() const override { return FData.get() + FReadOffset; }
    void SetSize(int32_t newSize) override;
    void Clear() override;
    void DropFront(int32_t count) override;
    // For tests: the consumed prefix not yet moved away.
    int32_t ReadOffset() const { return FReadOffset; }

  private:
    int32_t FReadOffset = 0;
};
