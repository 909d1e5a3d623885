#pragma once
// The stream family and the ordered text list that the whole system passes
// around: a fetch writes into a stream, a picture reads from one.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
  public:
    virtual ~TStream() = default;

    // Reads up to count bytes; answers how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes count bytes at the position; answers how many were written.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(int64_t newSize) = 0;
    virtual int64_t Size();
    // The stream will never be asked to hold more than limit bytes; one that
    // grows ahead of its data need not grow past that.
    virtual void LimitCapacity(int64_t /*limit*/) {}

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

    // All-or-nothing forms: EReadError "Stream read error" / EWriteError "Stream write error".
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    void WriteText(const std::string& text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
    // Copies count bytes from source (all of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// Bytes from malloc: growing a large block by realloc can move its pages
// instead of copying them, so a body near its cap is not held twice.
// New bytes are not cleared; the stream clears what it exposes.
class TByteBlock {
  public:
    TByteBlock() = default;
    ~TByteBlock() { std::free(FData); }
    TByteBlock(const TByteBlock& other);
    TByteBlock& operator=(const TByteBlock& other);
    uint8_t* data() const { return FData; }
    size_t size() const { return FSize; }
    // std::bad_alloc when the memory cannot be had; the block is then unchanged.
    void resize(size_t size);
    void clear();

  private:
    uint8_t* FData = nullptr;
    size_t FSize = 0;
};

// A growable block of bytes in memory.
class TMemoryStream : public TStream {
  public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t newSize) override;
    int64_t Size() override { return FSize; }
    void LimitCapacity(int64_t limit) override { FCapacityLimit = limit; }
    int64_t Capacity() const { return static_cast<int64_t>(FData.size()); }

    const uint8_t* Memory() const { return FData.data(); }
    uint8_t* Memory() { return FData.data(); }
    void Clear();
    std::string DataString() const { return std::string(reinterpret_cast<const char*>(FData.data()), FSize); }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

  private:
    void Grow(int64_t needed);
    TByteBlock FData; // capacity; FSize bytes of it are valid
    int64_t FSize = 0;
    int64_t FCapacityLimit = INT64_MAX;
    int64_t FPosition = 0;
};

// A byte buffer read back as one 8-bit text.
class TStringStream : public TMemoryStream {
  public:
    TStringStream() = default;
    explicit TStringStream(const std::string& text) {
        WriteText(text);
        SetPosition(0);
    }
};

enum class TFileMode { fmCreate, fmOpenRead, fmOpenReadWrite };

// A file on disk. Paths are texts of the system code page; the file name is
// converted to the file system's encoding here and nowhere else.
class TFileStream : public TStream {
  public:
    TFileStream(const std::string& path, TFileMode mode);
    // Takes over an open descriptor (read and write), which it closes.
    explicit TFileStream(int handle) : FHandle(handle) {}
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t newSize) override;
    int Handle() const { return FHandle; }

  private:
    int FHandle = -1;
};

// An ordered list of texts, duplicates allowed.
class TStringList {
  public:
    void Add(std::string text) { FItems.push_back(std::move(text)); }
    int Count() const { return static_cast<int>(FItems.size()); }
    const std::string& operator[](int i) const { return FItems.at(static_cast<size_t>(i)); }
    std::string& operator[](int i) { return FItems.at(static_cast<size_t>(i)); }
    void Clear() { FItems.clear(); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

  private:
    std::vector<std::string> FItems;
};
