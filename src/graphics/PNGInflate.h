#pragma once
// The zlib stream of a PNG's image data, inflated by zlib. The two header
// bytes and the four-byte Adler-32 are handled here, and zlib inflates the
// deflate data between them: the check value is then computed once, with
// vector instructions, on the rows while they are in cache, instead of by
// zlib byte by byte.

#include "graphics/Bitmap.h"

#include <zlib.h>

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

class TPngInflater {
  public:
    // blockBytes: the most that one call of Inflate is asked for. Raises
    // EGraphicCompression when zlib cannot be set up.
    TPngInflater(TInflateSource& source, size_t blockBytes);
    // Closes zlib unchecked: the reading has failed already.
    ~TPngInflater();
    TPngInflater(const TPngInflater&) = delete;
    TPngInflater& operator=(const TPngInflater&) = delete;

    // Inflates count bytes (count <= blockBytes) and answers where they are:
    // writable, with 16 spare bytes after them. produced is below count only
    // when the image data ended early, which is not an error; the stream
    // ending before count bytes is "Extra compressed data".
    uint8_t* Inflate(size_t count, size_t& produced);
    // After the last row: reads on to the end of the stream, as long as no
    // more bytes come out of it, so that its Adler-32 is checked. Compressed
    // data beyond the image is left unread, as are streams cut short.
    void Finish();
    // Closes zlib; a failure raises EGraphicCompression.
    void Close();

    // The working memory of an inflater for the given block size.
    static size_t WorkingBytes(size_t blockBytes);

  private:
    enum class TState { ZlibHeader, Deflate, Trailer, Done, Cut };
    static constexpr size_t kInputBytes = 64u << 10;
    static constexpr size_t kSpare = 16;

    void Run();
    void ReadZlibHeader();
    bool InflateSome();
    void ReadTrailer();
    bool FillInput();
    bool PullMore();
    void Compact();
    bool EnsureInput(size_t bytes);
    uint64_t LeftAfter(size_t position) const;

    TInflateSource& FSource;
    TState FState = TState::ZlibHeader;
    z_stream FZlib{};
    bool FOpen = false;

    // Input: compressed bytes [FIn, FInEnd) of FInput.
    std::vector<uint8_t> FInput;
    size_t FIn = 0;
    size_t FInEnd = 0;
    bool FSourceEnded = false;
    std::vector<size_t> FChunkStarts; // input positions where a chunk's bytes begin

    TPixelBuffer FBlock; // the rows inflated by one call of Inflate
    uint32_t FAdler = 1;
};

} // namespace png
