#include "graphics/PNGInflate.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

namespace png {

namespace {

[[noreturn]] void Corrupt() {
    throw EInvalidGraphic(Format("Cannot load image. Compression error found in %s file.", "PNG"));
}

[[noreturn]] void ExtraData() {
    throw EInvalidGraphic(Format("Cannot load image. Extra compressed data found in %s file.", "PNG"));
}

// ---------------------------------------------------------------- code tables
//
// A table entry: bits 0-7 the length of the code (alone in its byte, so
// that the entry itself can be the shift count), bits 8-11 the count of
// extra bits that follow the code, bits 12-16 what the code stands for (no
// flag: a code that does not exist), bits 17-31 its value (a literal, a base
// length or distance, or where a subtable starts).

constexpr uint32_t kLiteral = 1u << 12, kLength = 1u << 13, kEndOfBlock = 1u << 14, kDistance = 1u << 15,
                   kSubtable = 1u << 16, kInvalid = 0;
constexpr unsigned kMaxCodeBits = 15;
constexpr int kLiteralBits = 11;   // primary table of the literal/length code
constexpr int kDistanceBits = 8;   // primary table of the distance code
constexpr int kCodeLengthBits = 7; // the code-length code is never longer

constexpr uint32_t Entry(uint32_t kind, unsigned length, unsigned extra, uint32_t value) {
    return value << 17 | kind | extra << 8 | length;
}
inline unsigned CodeLength(uint32_t e) {
    return e & 0xFF;
}
inline unsigned ExtraBits(uint32_t e) {
    return (e >> 8) & 15;
}
inline uint32_t Value(uint32_t e) {
    return e >> 17;
}

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

uint32_t LiteralEntry(unsigned symbol, unsigned length) {
    if (symbol < 256) return Entry(kLiteral, length, 0, symbol);
    if (symbol == 256) return Entry(kEndOfBlock, length, 0, 0);
    if (symbol < 286) return Entry(kLength, length, kLengthExtra[symbol - 257], kLengthBase[symbol - 257]);
    return Entry(kInvalid, length, 0, 0); // 286 and 287 exist only to complete the fixed code
}

uint32_t DistanceEntry(unsigned symbol, unsigned length) {
    if (symbol < 30) return Entry(kDistance, length, kDistanceExtra[symbol], kDistanceBase[symbol]);
    return Entry(kInvalid, length, 0, 0);
}

uint32_t CodeLengthEntry(unsigned symbol, unsigned length) {
    return Entry(kLiteral, length, 0, symbol);
}

struct TReversedBytes {
    uint8_t Bytes[256];
    constexpr TReversedBytes() : Bytes{} {
        for (unsigned i = 0; i < 256; ++i)
            for (unsigned bit = 0; bit < 8; ++bit)
                if (i & (1u << bit)) Bytes[i] |= uint8_t(0x80u >> bit);
    }
};
constexpr TReversedBytes kReversed;

// Codes are stored from their top bit; the tables are indexed from the stream's first bit.
unsigned Reverse(unsigned code, unsigned length) {
    return (unsigned(kReversed.Bytes[code & 255]) << 8 | kReversed.Bytes[code >> 8 & 255]) >> (16 - length);
}

// False for an over-subscribed code, or an incomplete one other than a
// single one-bit code outside the code-length code (zlib allows that one).
bool CodeIsUsable(const unsigned (&perLength)[kMaxCodeBits + 1], bool codeLengthCode) {
    int left = 1;
    unsigned longest = 0;
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
        left = left * 2 - int(perLength[length]);
        if (left < 0) return false;
        if (perLength[length] != 0) longest = length;
    }
    if (longest == 0) return !codeLengthCode; // no distances at all: fine until one is used
    return left == 0 || (!codeLengthCode && longest == 1);
}

// Codes up to primaryBits long are looked up directly by the next
// primaryBits bits of the stream; a longer one through a subtable of
// 2^(15 - primaryBits) entries hung on its first primaryBits bits. Slots no
// code reaches (an incomplete code) hold invalid entries.
bool BuildTable(const uint8_t* lengths, unsigned count, int primaryBits,
                uint32_t (*entryOf)(unsigned, unsigned), bool codeLengthCode, THuffmanTable& table) {
    unsigned perLength[kMaxCodeBits + 1] = {};
    for (unsigned s = 0; s < count; ++s)
        ++perLength[lengths[s]];
    perLength[0] = 0;
    if (!CodeIsUsable(perLength, codeLengthCode)) return false;
    unsigned next[kMaxCodeBits + 1] = {};
    for (unsigned length = 1, code = 0; length <= kMaxCodeBits; ++length) {
        code = (code + perLength[length - 1]) << 1;
        next[length] = code;
    }
    const size_t primary = size_t(1) << primaryBits, subSize = size_t(1) << (kMaxCodeBits - primaryBits);
    table.PrimaryBits = primaryBits;
    table.Entries.assign(primary, Entry(kInvalid, 0, 0, 0));
    for (unsigned s = 0; s < count; ++s) {
        const unsigned length = lengths[s];
        if (length == 0) continue;
        const size_t reversed = Reverse(next[length]++, length);
        const uint32_t entry = entryOf(s, length);
        if (length <= unsigned(primaryBits)) {
            for (size_t i = reversed; i < primary; i += size_t(1) << length)
                table.Entries[i] = entry;
            continue;
        }
        const size_t prefix = reversed & (primary - 1);
        if (!(table.Entries[prefix] & kSubtable)) {
            table.Entries[prefix] = Entry(kSubtable, 0, 0, uint32_t(table.Entries.size()));
            table.Entries.resize(table.Entries.size() + subSize, Entry(kInvalid, 0, 0, 0));
        }
        const size_t base = Value(table.Entries[prefix]);
        for (size_t i = reversed >> primaryBits; i < subSize; i += size_t(1) << (length - primaryBits))
            table.Entries[base + i] = entry;
    }
    return true;
}

template <int PrimaryBits> inline uint32_t Lookup(const uint32_t* entries, uint64_t bits) {
    uint32_t e = entries[bits & ((1u << PrimaryBits) - 1)];
    if (e & kSubtable)
        e = entries[Value(e) + ((bits >> PrimaryBits) & ((1u << (kMaxCodeBits - PrimaryBits)) - 1))];
    return e;
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A match copied where there is room for 16 bytes beyond it: whole words
// when the source is far enough back not to overlap the word being written.
inline uint8_t* CopyMatchFast(uint8_t* out, size_t length, size_t distance) {
    const uint8_t* src = out - distance;
    uint8_t* const end = out + length;
    if (distance >= 16) {
        do {
            std::memcpy(out, src, 16);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (distance >= 8) {
        do {
            std::memcpy(out, src, 8);
            out += 8;
            src += 8;
        } while (out < end);
    } else if (distance == 1) {
        std::memset(out, *src, length);
    } else {
        do
            *out++ = *src++;
        while (out < end);
    }
    return end;
}

// The fixed codes, built once: a stream of empty fixed blocks would
// otherwise cost a table build every ten bits.
struct TFixedCodes {
    THuffmanTable Literals, Distances;
    TFixedCodes() {
        uint8_t lengths[288 + 32];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        std::fill(lengths + 288, lengths + 320, 5);
        BuildTable(lengths, 288, kLiteralBits, LiteralEntry, false, Literals);
        BuildTable(lengths + 288, 32, kDistanceBits, DistanceEntry, false, Distances);
    }
};

const TFixedCodes& FixedCodes() {
    static const TFixedCodes codes;
    return codes;
}

} // namespace

// ---------------------------------------------------------------- inflater

TPngInflater::TPngInflater(TInflateSource& source, size_t blockBytes)
    : FSource(source), FInput(kInputBytes + kSpare), FOutput(kHistoryBytes + blockBytes + kSpare) {
    FBlock = FOutput.data() + kHistoryBytes;
    FOut = FOutEnd = FAdlerDone = FBlock;
}

size_t TPngInflater::WorkingBytes(size_t blockBytes) {
    // Output and input buffers, and the code tables at their largest.
    return kHistoryBytes + blockBytes + kSpare + kInputBytes + kSpare + (1u << 16);
}

uint8_t* TPngInflater::Inflate(size_t count, size_t& produced) {
    FOut = FAdlerDone = FBlock;
    FOutEnd = FBlock + count;
    Run();
    produced = size_t(FOut - FBlock);
    AddToAdler();
    // The history of the next block is saved now: the caller undoes the row
    // filters in place.
    std::memmove(FOutput.data(), FOutput.data() + produced, kHistoryBytes);
    FTotalBefore += produced;
    return FBlock;
}

void TPngInflater::Finish() {
    FOut = FOutEnd = FAdlerDone = FBlock;
    Run();
}

void TPngInflater::Run() {
    while (FState != TState::Done && FState != TState::Cut)
        if (!Step()) return;
}

// One step of the stream; false when it cannot go on without room for output.
bool TPngInflater::Step() {
    switch (FState) {
    case TState::ZlibHeader:
        ReadZlibHeader();
        return true;
    case TState::BlockHeader:
        ReadBlockHeader();
        return true;
    case TState::Stored:
        return CopyStored();
    case TState::Huffman:
        if (FCopyLeft > 0) return ContinueCopy();
        FastLoop();
        return FState != TState::Huffman || CarefulSymbol();
    case TState::Trailer:
        ReadTrailer();
        return true;
    case TState::Done:
    case TState::Cut:
        break;
    }
    return false;
}

// ---- input

// Appends the next piece of image data; false when there is none.
bool TPngInflater::PullMore() {
    if (FSourceEnded) return false;
    if (kInputBytes - FInEnd < kInputBytes / 8) Compact();
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

// Moves the unread input (and the 8 bytes before it, which the bit buffer
// may give back) to the front.
void TPngInflater::Compact() {
    const size_t keepFrom = FIn >= 8 ? FIn - 8 : 0;
    std::memmove(FInput.data(), FInput.data() + keepFrom, FInEnd - keepFrom);
    FIn -= keepFrom;
    FInEnd -= keepFrom;
    std::erase_if(FChunkStarts, [keepFrom](size_t start) { return start < keepFrom; });
    for (size_t& start : FChunkStarts)
        start -= keepFrom;
}

bool TPngInflater::EnsureInput(size_t bytes) {
    while (FInEnd - FIn < bytes)
        if (!PullMore()) return false;
    return true;
}

// Tops the bit buffer up to 56 bits or more, with zeros past the end of the data.
void TPngInflater::RefillCareful() {
    while (FBitCount < 56) {
        uint64_t byte = 0;
        if (FIn < FInEnd)
            byte = FInput[FIn++];
        else
            FPhantomBits += 8;
        FBits |= byte << FBitCount;
        FBitCount += 8;
    }
}

uint32_t TPngInflater::TakeBits(unsigned count) {
    if (FBitCount < count) RefillCareful();
    const uint32_t value = uint32_t(FBits & ((uint64_t(1) << count) - 1));
    FBits >>= count;
    FBitCount -= count;
    return value;
}

// Hands the whole bytes of the bit buffer back to the input, at a byte boundary.
void TPngInflater::ReturnWholeBytes() {
    FIn -= (FBitCount - FPhantomBits) / 8;
    FBits = 0;
    FBitCount = 0;
    FPhantomBits = 0;
}

void TPngInflater::AddToAdler() {
    FAdler = Adler32(FAdler, FAdlerDone, size_t(FOut - FAdlerDone));
    FAdlerDone = FOut;
}

// Bytes of image data after the input position, up to the end of the chunk it is in.
uint64_t TPngInflater::LeftAfter(size_t position) const {
    for (size_t start : FChunkStarts)
        if (start >= position) return start - position;
    return (FInEnd - position) + FSource.LeftInChunk();
}

// ---- stream structure

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
    FState = TState::BlockHeader;
}

void TPngInflater::ReadBlockHeader() {
    EnsureInput(512); // the longest block header fits, so it is read without pulling
    FFinalBlock = TakeBits(1) != 0;
    const unsigned type = TakeBits(2);
    if (type == 0) {
        TakeBits(FBitCount & 7);
        if (Overran()) {
            FState = TState::Cut;
            return;
        }
        ReturnWholeBytes();
        if (!EnsureInput(4)) {
            FState = TState::Cut;
            return;
        }
        const uint8_t* p = FInput.data() + FIn;
        const unsigned length = p[0] | p[1] << 8, check = p[2] | p[3] << 8;
        if (length != (~check & 0xFFFFu)) Corrupt();
        FIn += 4;
        FStoredLeft = length;
        FState = TState::Stored;
        return;
    }
    bool good = type != 3;
    if (type == 1) {
        const TFixedCodes& fixed = FixedCodes();
        FLiterals = &fixed.Literals;
        FDistances = &fixed.Distances;
    } else if (type == 2) {
        good = ReadDynamicTables();
    }
    if (Overran())
        FState = TState::Cut;
    else if (!good)
        Corrupt();
    else
        FState = TState::Huffman;
}

// The code lengths of both codes, themselves coded. False for a broken header.
bool TPngInflater::ReadDynamicTables() {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    const unsigned literals = TakeBits(5) + 257, distances = TakeBits(5) + 1, codeLengths = TakeBits(4) + 4;
    if (literals > 286 || distances > 30) return false;
    uint8_t lengths[19] = {};
    for (unsigned i = 0; i < codeLengths; ++i)
        lengths[kOrder[i]] = uint8_t(TakeBits(3));
    THuffmanTable codes;
    if (!BuildTable(lengths, 19, kCodeLengthBits, CodeLengthEntry, true, codes)) return false;
    uint8_t all[286 + 30] = {};
    const unsigned total = literals + distances;
    for (unsigned n = 0; n < total;) {
        if (FBitCount < kCodeLengthBits) RefillCareful();
        const uint32_t e = codes.Entries[FBits & ((1u << kCodeLengthBits) - 1)];
        if (!(e & kLiteral)) return false;
        TakeBits(CodeLength(e));
        const unsigned symbol = Value(e);
        if (symbol < 16) {
            all[n++] = uint8_t(symbol);
            continue;
        }
        if (symbol == 16 && n == 0) return false;
        const uint8_t value = symbol == 16 ? all[n - 1] : 0;
        const unsigned repeat = symbol == 16   ? 3 + TakeBits(2)
                                : symbol == 17 ? 3 + TakeBits(3)
                                               : 11 + TakeBits(7);
        if (n + repeat > total) return false;
        std::fill(all + n, all + n + repeat, value);
        n += repeat;
    }
    if (all[256] == 0) return false; // no end-of-block code
    FLiterals = &FDynamicLiterals;
    FDistances = &FDynamicDistances;
    return BuildTable(all, literals, kLiteralBits, LiteralEntry, false, FDynamicLiterals) &&
           BuildTable(all + literals, distances, kDistanceBits, DistanceEntry, false, FDynamicDistances);
}

bool TPngInflater::CopyStored() {
    if (FStoredLeft == 0) {
        FState = FFinalBlock ? TState::Trailer : TState::BlockHeader;
        return true;
    }
    if (FOut == FOutEnd) return false;
    if (FIn == FInEnd && !PullMore()) {
        FState = TState::Cut;
        return true;
    }
    const size_t n = std::min({FStoredLeft, size_t(FOutEnd - FOut), FInEnd - FIn});
    std::memcpy(FOut, FInput.data() + FIn, n);
    FOut += n;
    FIn += n;
    FStoredLeft -= n;
    return true;
}

void TPngInflater::ReadTrailer() {
    TakeBits(FBitCount & 7);
    if (Overran()) {
        FState = TState::Cut;
        return;
    }
    ReturnWholeBytes();
    if (!EnsureInput(4)) {
        FState = TState::Cut;
        return;
    }
    const uint8_t* p = FInput.data() + FIn;
    const uint32_t stored = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    FIn += 4;
    AddToAdler();
    if (stored != FAdler) Corrupt();
    FState = TState::Done;
    if (FOut < FOutEnd || LeftAfter(FIn) > 0) ExtraData();
}

// ---- symbols

void TPngInflater::CopyMatch(size_t length, size_t distance) {
    FCopyLeft = length;
    FCopyDistance = distance;
    ContinueCopy();
}

bool TPngInflater::ContinueCopy() {
    const size_t n = std::min(FCopyLeft, size_t(FOutEnd - FOut));
    if (n == 0) return false;
    const uint8_t* src = FOut - FCopyDistance;
    for (size_t i = 0; i < n; ++i)
        FOut[i] = src[i];
    FOut += n;
    FCopyLeft -= n;
    return true;
}

// A code that does not exist: broken data, unless the data ran out under it.
bool TPngInflater::CutOrCorrupt() {
    if (FPhantomBits == 0 || FBitCount - std::min(FPhantomBits, FBitCount) >= kMaxCodeBits) Corrupt();
    FState = TState::Cut;
    return true;
}

// One symbol, with every bound checked: near the ends of the input and the
// output, and once the data has run out. False when it needs room for output.
bool TPngInflater::CarefulSymbol() {
    EnsureInput(8);
    RefillCareful();
    const uint32_t e = Lookup<kLiteralBits>(FLiterals->Entries.data(), FBits);
    if (!(e & (kLiteral | kLength | kEndOfBlock))) return CutOrCorrupt();
    if (!(e & kEndOfBlock) && FOut == FOutEnd) return false;
    TakeBits(CodeLength(e));
    if (e & kEndOfBlock) {
        FState = Overran() ? TState::Cut : FFinalBlock ? TState::Trailer : TState::BlockHeader;
        return true;
    }
    if (e & kLiteral) {
        if (Overran())
            FState = TState::Cut;
        else
            *FOut++ = uint8_t(Value(e));
        return true;
    }
    const size_t length = Value(e) + TakeBits(ExtraBits(e));
    const uint32_t d = Lookup<kDistanceBits>(FDistances->Entries.data(), FBits);
    if (!(d & kDistance)) return CutOrCorrupt();
    TakeBits(CodeLength(d));
    const size_t distance = Value(d) + TakeBits(ExtraBits(d));
    if (Overran()) {
        FState = TState::Cut;
        return true;
    }
    if (distance > FTotalBefore + size_t(FOut - FBlock)) Corrupt();
    CopyMatch(length, distance);
    return true;
}

// The bulk of the data: while 16 bytes of input and room for the longest
// match (with 16 bytes to spare) are left, nothing is checked but the codes
// themselves. A refill leaves 56 bits or more in the buffer: enough for three
// literals, or for a length with its distance; a literal run that stops at
// a length refills again, which keeps the bits already looked up.
void TPngInflater::FastLoop() {
    EnsureInput(1024);
    if (FPhantomBits != 0 || FInEnd - FIn < 16 || size_t(FOutEnd - FOut) < 258 + 16) return;
    const uint8_t* in = FInput.data() + FIn;
    const uint8_t* const inLast = FInput.data() + FInEnd - 16;
    uint8_t* out = FOut;
    uint8_t* const outLast = FOutEnd - (258 + 16);
    const uint8_t* const windowStart = FBlock - std::min<uint64_t>(FTotalBefore, kHistoryBytes);
    const uint32_t* literals = FLiterals->Entries.data();
    const uint32_t* distances = FDistances->Entries.data();
    uint64_t bits = FBits;
    unsigned count = FBitCount;
    const auto refill = [&] {
        bits |= Load64(in) << count;
        in += (63 - count) >> 3;
        count |= 56;
    };
    // Called with the entry itself where the count is its code length: the
    // shift takes the low six bits, and the count only its low byte.
    const auto consume = [&](uint32_t n) {
        bits >>= (n & 63);
        count -= uint8_t(n);
    };
    // Literals are tested for first: a code longer than the primary table
    // (never a common literal) takes the slower way through its subtable.
    constexpr uint64_t kPrimary = (1u << kLiteralBits) - 1,
                       kSecondary = (1u << (kMaxCodeBits - kLiteralBits)) - 1;
    while (out <= outLast && in <= inLast) {
        refill();
        uint32_t e = literals[bits & kPrimary];
        if (e & kLiteral) {
            consume(e);
            *out++ = uint8_t(Value(e));
            e = literals[bits & kPrimary];
            if (e & kLiteral) {
                consume(e);
                *out++ = uint8_t(Value(e));
                e = literals[bits & kPrimary];
                if (e & kLiteral) {
                    consume(e);
                    *out++ = uint8_t(Value(e));
                    continue;
                }
            }
            refill();
        }
        if (e & kSubtable) {
            e = literals[Value(e) + ((bits >> kLiteralBits) & kSecondary)];
            if (e & kLiteral) {
                consume(e);
                *out++ = uint8_t(Value(e));
                continue;
            }
        }
        if (e & kLength) {
            consume(e);
            const size_t length = Value(e) + size_t(bits & ((1u << ExtraBits(e)) - 1));
            consume(ExtraBits(e));
            const uint32_t d = Lookup<kDistanceBits>(distances, bits);
            if (!(d & kDistance)) Corrupt();
            consume(d);
            const size_t distance = Value(d) + size_t(bits & ((1u << ExtraBits(d)) - 1));
            consume(ExtraBits(d));
            if (distance > size_t(out - windowStart)) Corrupt();
            out = CopyMatchFast(out, length, distance);
            continue;
        }
        if (!(e & kEndOfBlock)) Corrupt();
        consume(e);
        FState = FFinalBlock ? TState::Trailer : TState::BlockHeader;
        break;
    }
    FIn = size_t(in - FInput.data());
    FOut = out;
    FBits = bits;
    FBitCount = count;
}

// ---------------------------------------------------------------- Adler-32

namespace {
constexpr uint32_t kAdlerBase = 65521;
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr size_t kAdlerRun = 5552;
} // namespace

uint32_t Adler32Plain(uint32_t adler, const uint8_t* data, size_t length) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (length > 0) {
        size_t n = std::min(length, kAdlerRun);
        length -= n;
        for (; n > 0; --n) {
            a += *data++;
            b += a;
        }
        a %= kAdlerBase;
        b %= kAdlerBase;
    }
    return b << 16 | a;
}

#ifdef __SSE2__
namespace {
inline uint64_t Sum32(__m128i v) {
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return uint64_t(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
}
} // namespace

// 32 bytes a step: their plain sum by psadbw, their sum weighted 32..1 by
// pmaddwd, and the running sums before each step kept apart, so that b
// gains 32 x those at the end of a run.
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length) {
    uint64_t a = adler & 0xFFFF, b = adler >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i w0 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25),
                  w1 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i w2 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9),
                  w3 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    size_t steps = length / 32;
    while (steps > 0) {
        const size_t run = std::min(steps, kAdlerRun / 32);
        steps -= run;
        __m128i sums = zero, before = zero, weighted = zero;
        for (size_t i = 0; i < run; ++i, data += 32) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
            before = _mm_add_epi32(before, sums);
            sums = _mm_add_epi32(sums, _mm_add_epi32(_mm_sad_epu8(x, zero), _mm_sad_epu8(y, zero)));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), w0));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), w1));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(y, zero), w2));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(y, zero), w3));
        }
        b = (b + a * 32 * run + 32 * Sum32(before) + Sum32(weighted)) % kAdlerBase;
        a = (a + Sum32(sums)) % kAdlerBase;
    }
    return Adler32Plain(uint32_t(b << 16 | a), data, length % 32);
}
#else
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length) {
    return Adler32Plain(adler, data, length);
}
#endif

} // namespace png
