#include "graphics/PNGInflate.h"

#include "graphics/PNGAdler.h"
#include "graphics/PNGGraphic.h"

#include <cstring>
#include <new>

namespace png {

namespace {

[[noreturn]] void Corrupt() {
    throw EInvalidGraphic(Format("Cannot load image. Compression error found in %s file.", "PNG"));
}

[[noreturn]] void ExtraData() {
    throw EInvalidGraphic(Format("Cannot load image. Extra compressed data found in %s file.", "PNG"));
}

[[noreturn]] void ZlibFailed() {
    throw EGraphicCompression("LZ77 decompression error.");
}

// zlib's state and its 32 KiB window.
constexpr size_t kZlibBytes = 48u << 10;

} // namespace

TPngInflater::TPngInflater(TInflateSource& source, size_t blockBytes)
    : FSource(source), FInput(kInputBytes), FBlock(blockBytes + kSpare) {
    // Raw deflate data: the zlib header and check value are read here. The
    // window is always the largest, so that whether a distance is accepted
    // never depends on how the output is split into calls.
    if (inflateInit2(&FZlib, -MAX_WBITS) != Z_OK) ZlibFailed();
    FOpen = true;
}

TPngInflater::~TPngInflater() {
    if (FOpen) inflateEnd(&FZlib);
}

void TPngInflater::Close() {
    FOpen = false;
    if (inflateEnd(&FZlib) != Z_OK) ZlibFailed();
}

size_t TPngInflater::WorkingBytes(size_t blockBytes) {
    return blockBytes + kSpare + kInputBytes + kZlibBytes;
}

uint8_t* TPngInflater::Inflate(size_t count, size_t& produced) {
    FZlib.next_out = FBlock.data();
    FZlib.avail_out = uInt(count);
    Run();
    produced = size_t(FZlib.next_out - FBlock.data());
    return FBlock.data();
}

void TPngInflater::Finish() {
    FZlib.next_out = FBlock.data(); // never written, but zlib wants somewhere to point
    FZlib.avail_out = 0;
    Run();
}

// Goes on with the stream until the output room is full, the data has run
// out or the stream is over.
void TPngInflater::Run() {
    while (true) {
        switch (FState) {
        case TState::ZlibHeader:
            ReadZlibHeader();
            break;
        case TState::Deflate:
            if (!InflateSome()) return;
            break;
        case TState::Trailer:
            ReadTrailer();
            break;
        case TState::Done:
            // Rows still wanted from a stream that has ended.
            if (FZlib.avail_out > 0) ExtraData();
            return;
        case TState::Cut:
            return;
        }
    }
}

void TPngInflater::ReadZlibHeader() {
    if (!EnsureInput(2)) {
        FState = TState::Cut;
        return;
    }
    const unsigned method = FInput[FIn], flags = FInput[FIn + 1];
    FIn += 2;
    // Deflate with a window of at most 32 KiB, no preset dictionary.
    if ((method << 8 | flags) % 31 != 0 || (method & 15) != 8 || (method >> 4) > 7 || (flags & 0x20))
        Corrupt();
    FState = TState::Deflate;
}

// One call of inflate on all the input there is. False when it stopped for
// want of output room: the block is full, or (after the last row) the stream
// goes on with data beyond the image.
bool TPngInflater::InflateSome() {
    if (FIn == FInEnd && !FillInput()) {
        FState = TState::Cut;
        return true;
    }
    FZlib.next_in = FInput.data() + FIn;
    FZlib.avail_in = uInt(FInEnd - FIn);
    uint8_t* const before = FZlib.next_out;
    const int result = inflate(&FZlib, Z_PARTIAL_FLUSH);
    FIn = size_t(FZlib.next_in - FInput.data());
    const size_t produced = size_t(FZlib.next_out - before);
    FAdler = Adler32(FAdler, before, produced);
    switch (result) {
    case Z_STREAM_END:
        FState = TState::Trailer;
        return true;
    case Z_OK:
        return FZlib.avail_out > 0 || produced == 0;
    case Z_BUF_ERROR: // no progress: it needs input, or room
        if (FIn == FInEnd) return true;
        if (FZlib.avail_out == 0) return false;
        Corrupt();
    case Z_MEM_ERROR:
        throw std::bad_alloc();
    }
    Corrupt();
}

// The Adler-32 of the inflated bytes, most significant byte first, then
// nothing more in the chunk.
void TPngInflater::ReadTrailer() {
    if (!EnsureInput(4)) {
        FState = TState::Cut;
        return;
    }
    const uint8_t* p = FInput.data() + FIn;
    const uint32_t stored = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    FIn += 4;
    if (stored != FAdler) Corrupt();
    FState = TState::Done;
    if (LeftAfter(FIn) > 0) ExtraData();
}

// ---- input

// Refills the emptied input buffer as far as the image data goes: zlib
// copies its window once per call, so a call should have much to work on
// even when the file's chunks are small.
bool TPngInflater::FillInput() {
    Compact();
    while (PullMore()) {
    }
    return FIn < FInEnd;
}

// Appends the next piece of image data; false when there is none or no room.
bool TPngInflater::PullMore() {
    if (FSourceEnded || FInEnd == kInputBytes) return false;
    bool startsChunk = false;
    const size_t n = FSource.Pull(FInput.data() + FInEnd, kInputBytes - FInEnd, startsChunk);
    if (n == 0) {
        FSourceEnded = true;
        return false;
    }
    if (startsChunk) FChunkStarts.push_back(FInEnd);
    FInEnd += n;
    return true;
}

// Moves the unread input to the front of the buffer.
void TPngInflater::Compact() {
    const size_t from = FIn;
    std::memmove(FInput.data(), FInput.data() + from, FInEnd - from);
    FIn = 0;
    FInEnd -= from;
    std::erase_if(FChunkStarts, [from](size_t start) { return start < from; });
    for (size_t& start : FChunkStarts)
        start -= from;
}

bool TPngInflater::EnsureInput(size_t bytes) {
    if (FInEnd - FIn >= bytes) return true;
    Compact();
    while (FInEnd - FIn < bytes)
        if (!PullMore()) return false;
    return true;
}

// Bytes of image data after the input position, up to the end of the chunk it is in.
uint64_t TPngInflater::LeftAfter(size_t position) const {
    for (size_t start : FChunkStarts)
        if (start >= position) return start - position;
    return (FInEnd - position) + FSource.LeftInChunk();
}

} // namespace png
