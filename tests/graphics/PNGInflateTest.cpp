// The PNG reader's inflater: the bytes come out the same however the input
// is split into chunks and the output into blocks, and only bytes after the
// stream in its own chunk are extra data. Then Adler-32 and the row
// filters, whose fast versions must agree with the plain ones.

#include "graphics/PNGInflate.h"
#include "graphics/PNGAdler.h"
#include "graphics/PNGFilters.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Hands out the stream in chunks of the given size, as IDAT chunks would.
class TChunkedSource : public png::TInflateSource {
  public:
    TChunkedSource(const Bytes& data, size_t chunk) : FData(data), FChunk(chunk) {}
    size_t Pull(uint8_t* out, size_t room, bool& startsChunk) override {
        if (FPos == FData.size()) return 0;
        startsChunk = FLeft == 0;
        if (FLeft == 0) FLeft = std::min(FChunk, FData.size() - FPos);
        const size_t n = std::min(room, FLeft);
        std::copy_n(FData.begin() + long(FPos), n, out);
        FPos += n;
        FLeft -= n;
        return n;
    }
    uint64_t LeftInChunk() const override { return FLeft; }

  private:
    const Bytes& FData;
    size_t FChunk;
    size_t FPos = 0;
    size_t FLeft = 0;
};

Bytes Compress(const Bytes& raw, int level, int strategy) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy);
    Bytes out(deflateBound(&z, uLong(raw.size())) + 16);
    z.next_in = const_cast<uint8_t*>(raw.data());
    z.avail_in = uInt(raw.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

enum class TVerdict { Whole, Broken, Cut, Extra };

// The same through the reader's inflater, asked for `expected` bytes (the
// last block may come out short) in blocks of the given size.
TVerdict OurInflate(const Bytes& stream, size_t chunk, size_t block, size_t expected, Bytes& out) {
    TChunkedSource source(stream, chunk);
    png::TPngInflater inflater(source, block);
    out.clear();
    try {
        while (out.size() < expected) {
            size_t produced = 0;
            const size_t ask = std::min(block, expected - out.size());
            const uint8_t* p = inflater.Inflate(ask, produced);
            out.insert(out.end(), p, p + produced);
            if (produced < ask) return TVerdict::Cut;
        }
        inflater.Finish();
    } catch (const EInvalidGraphic& e) {
        if (e.Message() == "Cannot load image. Extra compressed data found in PNG file.")
            return TVerdict::Extra;
        EXPECT_EQ(e.Message(), "Cannot load image. Compression error found in PNG file.");
        return TVerdict::Broken;
    }
    return TVerdict::Whole;
}

TVerdict OurVerdict(const Bytes& stream, size_t chunk, size_t expected) {
    Bytes out;
    return OurInflate(stream, chunk, 4096, expected, out);
}

// Data of the kinds a deflater treats differently: noise, runs, short and
// long repeats, a narrow alphabet.
std::vector<Bytes> Samples() {
    std::mt19937 random(11);
    std::vector<Bytes> samples;
    Bytes noise(20000), runs, repeats, narrow(40000);
    for (auto& b : noise)
        b = uint8_t(random());
    while (runs.size() < 30000)
        runs.insert(runs.end(), random() % 300 + 1, uint8_t(random() % 4));
    while (repeats.size() < 60000) {
        const size_t distance = random() % 2 ? random() % 8 + 1 : random() % 40000 + 1;
        if (repeats.size() < distance) {
            repeats.push_back(uint8_t(random()));
            continue;
        }
        for (size_t n = random() % 300; n > 0; --n)
            repeats.push_back(repeats[repeats.size() - distance]);
    }
    for (auto& b : narrow)
        b = uint8_t("PNG rows"[random() % 8]);
    samples = {Bytes{}, Bytes{42}, noise, runs, repeats, narrow};
    return samples;
}

TEST(PNGInflate, SameBytesHoweverTheStreamIsSplit) {
    const struct {
        int level, strategy;
    } modes[] = {{0, Z_DEFAULT_STRATEGY},
                 {1, Z_DEFAULT_STRATEGY},
                 {6, Z_DEFAULT_STRATEGY},
                 {9, Z_FILTERED},
                 {6, Z_HUFFMAN_ONLY},
                 {6, Z_RLE},
                 {6, Z_FIXED}};
    for (const Bytes& raw : Samples())
        for (const auto& mode : modes) {
            const Bytes stream = Compress(raw, mode.level, mode.strategy);
            for (size_t chunk : {size_t(1), size_t(7), size_t(8192), size_t(1) << 30})
                for (size_t block : {size_t(1), size_t(300), size_t(1) << 20}) {
                    // Byte by byte through large streams: slow, and nothing new.
                    if ((chunk == 1 || block == 1) && stream.size() > 100) continue;
                    if (chunk == 7 && block == 300 && stream.size() > 100) continue;
                    SCOPED_TRACE(testing::Message()
                                 << raw.size() << " bytes, level " << mode.level << " strategy "
                                 << mode.strategy << ", chunks " << chunk << ", blocks " << block);
                    Bytes out;
                    ASSERT_EQ(OurInflate(stream, chunk, block, raw.size(), out), TVerdict::Whole);
                    ASSERT_TRUE(out == raw);
                }
        }
}

TEST(PNGInflate, BytesAfterTheStreamInItsChunkAreExtraData) {
    const Bytes raw(1000, 7);
    Bytes stream = Compress(raw, 6, Z_DEFAULT_STRATEGY);
    stream.push_back(0);
    // In the stream's own chunk the byte is extra; in a chunk of its own it is ignored.
    EXPECT_EQ(OurVerdict(stream, stream.size(), raw.size()), TVerdict::Extra);
    EXPECT_EQ(OurVerdict(stream, stream.size() - 1, raw.size()), TVerdict::Whole);
}

TEST(PNGInflate, Adler32AsZlibComputesIt) {
    std::mt19937 random(9);
    Bytes data(20000);
    for (auto& b : data)
        b = random() % 4 ? 255 : uint8_t(random());
    for (size_t length : {size_t(0), size_t(1), size_t(31), size_t(32), size_t(33), size_t(5552),
                          size_t(5553), size_t(11104), size_t(19990)})
        for (size_t offset : {size_t(0), size_t(3)}) {
            SCOPED_TRACE(testing::Message() << length << " at " << offset);
            const uint32_t start = random() % 2 ? 1 : uint32_t(random()) % 65521 * 65536 + 65520;
            const uint32_t zlib = uint32_t(adler32(start, data.data() + offset, uInt(length)));
            EXPECT_EQ(png::Adler32(start, data.data() + offset, length), zlib);
            EXPECT_EQ(png::Adler32Plain(start, data.data() + offset, length), zlib);
        }
}

TEST(PNGFilters, FastVersionsAgreeWithThePlainOnes) {
    std::mt19937 random(13);
    for (int step : {1, 2, 3, 4, 6, 8})
        for (int filter = 0; filter <= 5; ++filter)
            for (size_t pixels : {size_t(1), size_t(2), size_t(5), size_t(37), size_t(1000)}) {
                SCOPED_TRACE(testing::Message()
                             << "step " << step << " filter " << filter << " pixels " << pixels);
                const size_t length = pixels * size_t(step);
                Bytes prior(length + png::kRowPadding), row(length + png::kRowPadding);
                for (size_t i = 0; i < length; ++i) {
                    // Small values as well, where the Paeth and average predictions tie.
                    prior[i] = uint8_t(pixels == 37 ? random() % 3 : random());
                    row[i] = uint8_t(pixels == 37 ? random() % 3 : random());
                }
                Bytes fast = row, plain = row;
                png::UndoFilter(filter, step, fast.data(), prior.data(), length);
                png::UndoFilterPlain(filter, step, plain.data(), prior.data(), length);
                ASSERT_TRUE(std::equal(fast.begin(), fast.begin() + long(length), plain.begin()));
            }
}

} // namespace
