#include "core/Classes.h"

#include "core/ConfinedFiles.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

int64_t TStream::Size() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)));
    int64_t left = count;
    while (left > 0) {
        int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

// ---- TByteBlock

TByteBlock::TByteBlock(const TByteBlock& other) {
    resize(other.FSize);
    if (FSize > 0) std::memcpy(FData, other.FData, FSize);
}

TByteBlock& TByteBlock::operator=(const TByteBlock& other) {
    if (this != &other) {
        resize(other.FSize);
        if (FSize > 0) std::memcpy(FData, other.FData, FSize);
    }
    return *this;
}

void TByteBlock::resize(size_t size) {
    if (size == 0) {
        clear();
        return;
    }
    auto* grown = static_cast<uint8_t*>(std::realloc(FData, size));
    if (grown == nullptr) throw std::bad_alloc();
    FData = grown;
    FSize = size;
}

void TByteBlock::clear() {
    std::free(FData);
    FData = nullptr;
    FSize = 0;
}

// ---- TMemoryStream

void TMemoryStream::Grow(int64_t needed) {
    if (needed <= static_cast<int64_t>(FData.size())) return;
    // Doubling keeps appends linear; the first block is small enough for a
    // text of a few bytes.
    // Doubling stops at the limit: a 64 MiB cap must not mean 128 MiB held.
    int64_t capacity = std::max<int64_t>(static_cast<int64_t>(FData.size()) * 2, 256);
    capacity = std::max(std::min(capacity, FCapacityLimit), needed);
    FData.resize(static_cast<size_t>(capacity));
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    // A position before the start reads nothing, as a write there writes nothing.
    if (count <= 0 || FPosition < 0 || FPosition >= FSize) return 0;
    int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0 || FPosition < 0) return 0;
    int64_t end = FPosition + count;
    Grow(end);
    if (FPosition > FSize) std::memset(FData.data() + FSize, 0, static_cast<size_t>(FPosition - FSize));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    FSize = std::max(FSize, end);
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning:
        FPosition = offset;
        break;
    case TSeekOrigin::soCurrent:
        FPosition += offset;
        break;
    case TSeekOrigin::soEnd:
        FPosition = FSize + offset;
        break;
    }
    return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
    if (newSize < 0) newSize = 0;
    if (newSize > static_cast<int64_t>(FData.size())) FData.resize(static_cast<size_t>(newSize));
    // Bytes between the old end and the new one read as zero, never as stale data.
    if (newSize > FSize) std::memset(FData.data() + FSize, 0, static_cast<size_t>(newSize - FSize));
    FSize = newSize;
    if (FPosition > FSize) FPosition = FSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FSize = 0;
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream file(path, TFileMode::fmOpenRead);
    int64_t size = file.Size();
    SetSize(size);
    FPosition = 0;
    file.ReadBuffer(FData.data(), size);
}

void TMemoryStream::SaveToFile(const std::string& path) const {
    TFileStream file(path, TFileMode::fmCreate);
    file.WriteBuffer(FData.data(), FSize);
}

// ---- TFileStream

TFileStream::TFileStream(const std::string& path, TFileMode mode) {
    switch (mode) {
    case TFileMode::fmCreate:
        FHandle = OpenConfined(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (FHandle < 0) RaiseCreateError(path, errno);
        break;
    case TFileMode::fmOpenRead:
    case TFileMode::fmOpenReadWrite:
        FHandle = OpenConfined(path, mode == TFileMode::fmOpenRead ? O_RDONLY : O_RDWR);
        if (FHandle >= 0) {
            struct stat st {};
            // A folder opens fine for reading on this platform, but reads from it fail.
            if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
                ::close(FHandle);
                FHandle = -1;
                errno = EISDIR;
            }
        }
        if (FHandle < 0) {
            const std::string reason = ConfinedErrorText(path, errno);
            throw EFOpenError(
                Format("Cannot open file \"%s\". %s", ExpandFileName(path).c_str(), reason.c_str()));
        }
        break;
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

namespace {

// Repeats a read or a write until count bytes are done or it fails or ends;
// a signal that interrupts it is no failure.
template <typename Transfer> int64_t TransferWhole(int64_t count, Transfer transfer) {
    int64_t done = 0;
    while (done < count) {
        ssize_t n = transfer(done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

} // namespace

int64_t TFileStream::Read(void* buffer, int64_t count) {
    auto* p = static_cast<uint8_t*>(buffer);
    return TransferWhole(count, [&](int64_t done, size_t left) { return ::read(FHandle, p + done, left); });
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    return TransferWhole(count, [&](int64_t done, size_t left) { return ::write(FHandle, p + done, left); });
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    return ::lseek(FHandle, offset, whence);
}

void TFileStream::SetSize(int64_t newSize) {
    if (::ftruncate(FHandle, newSize) != 0) throw EWriteError("Stream write error");
    if (Position() > newSize) SetPosition(newSize);
}
