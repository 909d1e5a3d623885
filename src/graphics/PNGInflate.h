#pragma once
// The zlib stream of a PNG's image data, inflated by a decoder of our own.
// zlib's inflate took most of a picture's load time; this one reads the bit
// stream 64 bits at a time, decodes with one table look-up per symbol and
// checks the stream's Adler-32 on the inflated bytes while they are in cache.
// Every code table, length and distance is checked as zlib checks it.

#include "graphics/Bitmap.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace png {

// Where the compressed bytes come from: the data of the IDAT chunks in turn.
class TInflateSource {
  public:
    virtual ~TInflateSource() = default;
    // Copies up to room bytes of one chunk, moving on to the next chunk only
    // when the current one is used up; startsChunk tells that the bytes are
    // the first of their chunk. 0 when the image data is over.
    virtual size_t Pull(uint8_t* out, size_t room, bool& startsChunk) = 0;
    // Bytes of the current chunk not pulled yet.
    virtual uint64_t LeftInChunk() const = 0;
};

// One canonical Huffman code as a look-up table (see PNGInflate.cpp).
struct THuffmanTable {
    std::vector<uint32_t> Entries;
    int PrimaryBits = 0;
};

class TPngInflater {
  public:
    // blockBytes: the most that one call of Inflate is asked for.
    TPngInflater(TInflateSource& source, size_t blockBytes);

    // Inflates count bytes (count <= blockBytes) and answers where they are:
    // writable, with 16 spare bytes after them. produced is below count only
    // when the image data ended early, which is not an error; the stream
    // ending before count bytes is "Extra compressed data".
    uint8_t* Inflate(size_t count, size_t& produced);
    // After the last row: reads on to the end of the stream, as long as no
    // more bytes come out of it, so that its Adler-32 is checked. Compressed
    // data beyond the image is left unread, as are streams cut short.
    void Finish();

    // The working memory of an inflater for the given block size.
    static size_t WorkingBytes(size_t blockBytes);

  private:
    enum class TState { ZlibHeader, BlockHeader, Stored, Huffman, Trailer, Done, Cut };
    static constexpr size_t kHistoryBytes = 32768;
    static constexpr size_t kInputBytes = 64u << 10;
    static constexpr size_t kSpare = 64;

    void Run();
    bool Step();
    void FastLoop();
    bool CarefulSymbol();
    bool CutOrCorrupt();
    void ReadZlibHeader();
    void ReadBlockHeader();
    bool ReadDynamicTables();
    bool CopyStored();
    void ReadTrailer();
    void CopyMatch(size_t length, size_t distance);
    bool ContinueCopy();

    bool EnsureInput(size_t bytes);
    bool PullMore();
    void Compact();
    void RefillCareful();
    uint32_t TakeBits(unsigned count);
    bool Overran() const { return FPhantomBits > FBitCount; }
    void ReturnWholeBytes();
    void AddToAdler();
    uint64_t LeftAfter(size_t position) const;

    TInflateSource& FSource;
    TState FState = TState::ZlibHeader;
    bool FFinalBlock = false;
    const THuffmanTable* FLiterals = nullptr; // the fixed codes, or the dynamic ones below
    const THuffmanTable* FDistances = nullptr;
    THuffmanTable FDynamicLiterals;
    THuffmanTable FDynamicDistances;

    // Input: compressed bytes [FIn, FInEnd) of FInput, zero padding after them.
    std::vector<uint8_t> FInput;
    size_t FIn = 0;
    size_t FInEnd = 0;
    bool FSourceEnded = false;
    std::vector<size_t> FChunkStarts; // input positions where a chunk's bytes begin

    // Bit buffer, least significant bit first. Past the end of the data it
    // is topped up with zeros, counted in FPhantomBits.
    uint64_t FBits = 0;
    unsigned FBitCount = 0;
    unsigned FPhantomBits = 0;

    // Output: the last 32 KiB of the stream, then the block being inflated.
    TPixelBuffer FOutput;
    uint8_t* FBlock = nullptr;
    uint8_t* FOut = nullptr;
    uint8_t* FOutEnd = nullptr;
    uint8_t* FAdlerDone = nullptr;
    uint64_t FTotalBefore = 0; // bytes inflated before the current block
    size_t FCopyLeft = 0;      // a match cut by the end of a block
    size_t FCopyDistance = 0;
    size_t FStoredLeft = 0;
    uint32_t FAdler = 1;
};

// Adler-32 of the zlib format; the plain one is the reference for the vector one.
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length);
uint32_t Adler32Plain(uint32_t adler, const uint8_t* data, size_t length);

} // namespace png
