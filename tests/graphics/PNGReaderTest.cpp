// The PNG reader on files built here: broken ones must fail with their exact
// message, the odd but valid ones must decode, and the row and Adam7 edges
// must give the same raster whichever way the pixels were stored.

#include "PNGTestFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace pngtest;

namespace {

const char* const kInvalid = "Cannot load image. Invalid or unexpected PNG image format.";
const char* const kExtra = "Cannot load image. Extra compressed data found in PNG file.";

std::string Message(const std::string& bytes) {
    try {
        Decode(bytes);
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no error";
}

// A 4 x 3 colour image whose rows use every filter type.
std::vector<std::string> SmallRows() {
    std::vector<std::string> rows;
    for (int y = 0; y < 3; ++y) {
        std::string row;
        for (int i = 0; i < 12; ++i)
            row += char(y * 40 + i * 17);
        rows.push_back(row);
    }
    return rows;
}

std::string SmallPng(const std::string& extra = "") {
    return kSignature + Ihdr(4, 3, 8, 2) + extra + Idat(FilteredData(SmallRows(), 3, 1)) + Iend();
}

TEST(PNGReader, DecodesASmallFileWithEveryFilter) {
    auto picture = Decode(SmallPng());
    ASSERT_EQ(picture->Width(), 4);
    ASSERT_EQ(picture->Height(), 3);
    const auto rows = SmallRows();
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            const uint8_t* p = picture->ScanLine(y) + 3 * x;
            EXPECT_EQ(p[2], uint8_t(rows[size_t(y)][size_t(3 * x)]));
            EXPECT_EQ(p[1], uint8_t(rows[size_t(y)][size_t(3 * x + 1)]));
            EXPECT_EQ(p[0], uint8_t(rows[size_t(y)][size_t(3 * x + 2)]));
        }
}

TEST(PNGReader, EveryTruncationIsAReadError) {
    // With and without a gAMA chunk: the header pass stops at gAMA, so the
    // main pass must find the cut by itself.
    for (const std::string& file : {SmallPng(), SmallPng(Chunk("gAMA", Be32(45455)))}) {
        for (size_t cut = 8; cut < file.size(); ++cut) {
            SCOPED_TRACE(cut);
            EXPECT_EQ(Message(file.substr(0, cut)), "EReadError: Stream read error");
        }
        for (size_t cut = 0; cut < 8; ++cut)
            EXPECT_EQ(Message(file.substr(0, cut)), std::string("EInvalidGraphic: ") + kInvalid);
    }
}

TEST(PNGReader, BrokenFilesFailWithTheirMessage) {
    const std::string raw = FilteredData(SmallRows(), 3);
    std::string trailing = Deflate(raw) + "junk";
    const struct {
        const char* what;
        std::string file;
        std::string message;
    } cases[] = {
        {"bad CRC in an IDAT", kSignature + Ihdr(4, 3, 8, 2) + Chunk("IDAT", Deflate(raw), true) + Iend(),
         "Cannot load image. CRC error found in PNG file."},
        {"bad CRC in a gAMA",
         kSignature + Ihdr(4, 3, 8, 2) + Chunk("gAMA", Be32(100000), true) + Idat(raw) + Iend(),
         "Cannot load image. CRC error found in PNG file."},
        {"unknown critical chunk", SmallPng(Chunk("QUIL", "x")),
         "Cannot load PNG image. Unexpected but critical chunk detected."},
        {"zero width", kSignature + Ihdr(0, 3, 8, 2) + Idat(raw) + Iend(), kInvalid},
        {"zero height", kSignature + Ihdr(4, 0, 8, 2) + Idat(raw) + Iend(), kInvalid},
        {"more than 2^28 pixels", kSignature + Ihdr(65536, 65536, 8, 6) + Idat(raw) + Iend(), kInvalid},
        {"width of 2^31", kSignature + Ihdr(0x80000000u, 1, 16, 6) + Idat(raw) + Iend(), kInvalid},
        {"first chunk not IHDR", kSignature + Chunk("gAMA", Be32(1)) + Ihdr(4, 3, 8, 2) + Idat(raw) + Iend(),
         kInvalid},
        {"short IHDR", kSignature + Chunk("IHDR", std::string(12, '\1')) + Idat(raw) + Iend(), kInvalid},
        {"PLTE not a multiple of 3",
         kSignature + Ihdr(4, 3, 8, 3) + Chunk("PLTE", "abcd") + Idat(raw) + Iend(),
         "Cannot load image. Palette in PNG file is invalid."},
        {"indexed without PLTE", kSignature + Ihdr(4, 3, 8, 3) + Idat(raw) + Iend(),
         "Cannot load image. Palette in PNG file is invalid."},
        {"colour type 5", kSignature + Ihdr(4, 3, 8, 5) + Idat(raw) + Iend(),
         "Invalid color format in PNG file."},
        {"colour with 4 bits", kSignature + Ihdr(4, 3, 4, 2) + Idat(raw) + Iend(),
         "Invalid color format in PNG file."},
        {"indexed with 16 bits", kSignature + Ihdr(4, 3, 16, 3) + Idat(raw) + Iend(),
         "Invalid color format in PNG file."},
        {"compression 1", kSignature + Ihdr(4, 3, 8, 2, 0, 1) + Idat(raw) + Iend(),
         "Cannot load image. The compression scheme is not supported for PNG files."},
        {"data after the zlib stream", kSignature + Ihdr(4, 3, 8, 2) + Chunk("IDAT", trailing) + Iend(),
         kExtra},
        {"stream ends before the last row", kSignature + Ihdr(4, 4, 8, 2) + Idat(raw) + Iend(), kExtra},
        {"image data failing its Adler-32",
         kSignature + Ihdr(4, 3, 8, 2) +
             Chunk("IDAT",
                   [&] {
                       std::string z = Deflate(raw);
                       z.back() = char(z.back() ^ 1);
                       return z;
                   }()) +
             Iend(),
         "Cannot load image. Compression error found in PNG file."},
        {"empty IHDR", kSignature + Chunk("IHDR", "") + Idat(raw) + Iend(), kInvalid},
        // 68 bytes that claim rows of 2 GiB, and rows of 64 MiB: beyond the working memory a load may take.
        {"rows of 2 GiB", kSignature + Ihdr(1u << 28, 1, 16, 6) + Idat(std::string(3, '\0')) + Iend(),
         kInvalid},
        {"rows of 64 MiB", kSignature + Ihdr(1u << 24, 1, 8, 6) + Idat(std::string(3, '\0')) + Iend(),
         kInvalid},
        {"not a zlib stream", kSignature + Ihdr(4, 3, 8, 2) + Chunk("IDAT", std::string(40, '\x55')) + Iend(),
         "Cannot load image. Compression error found in PNG file."},
        {"no image data", kSignature + Ihdr(4, 3, 8, 2) + Iend(), kInvalid},
        {"no IEND", kSignature + Ihdr(4, 3, 8, 2) + Idat(raw), "Stream read error"},
        {"chunk longer than the file", kSignature + Ihdr(4, 3, 8, 2) + Be32(0xFFFFFFF0u) + "tEXt" + "abc",
         "Stream read error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            Decode(c.file);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST(PNGReader, OddButValidFilesDecode) {
    const std::string raw = FilteredData(SmallRows(), 3);
    const std::string lowerCase = kSignature + Chunk("ihdr", Be32(4) + Be32(3) + std::string{8, 2, 0, 0, 0}) +
                                  Chunk("idat", Deflate(raw)) + Chunk("iend", "");
    // Ancillary chunks are skipped unread, so their CRC does not matter.
    const std::string ancillary = SmallPng(Chunk("quIL", "data", true));
    const std::string split = [&] {
        const std::string z = Deflate(raw);
        return kSignature + Ihdr(4, 3, 8, 2) + Chunk("IDAT", "") + Chunk("IDAT", z.substr(0, 5)) +
               Chunk("IDAT", z.substr(5, 1)) + Chunk("IDAT", z.substr(6)) + Chunk("IDAT", "ignored") + Iend();
    }();
    const std::string interlaceTwo = kSignature + Ihdr(4, 3, 8, 2, 2) + Idat(raw) + Iend();
    const auto reference = Decode(SmallPng());
    for (const std::string& file : {lowerCase, ancillary, split, interlaceTwo}) {
        auto picture = Decode(file);
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(std::memcmp(picture->ScanLine(y), reference->ScanLine(y), 12), 0);
    }
}

TEST(PNGReader, ReadsFromTheStreamPositionAndStopsAfterIend) {
    const std::string file = SmallPng();
    TStringStream stream("leading bytes" + file + "trailing bytes");
    stream.SetPosition(13);
    TPNGGraphic picture;
    picture.ReadPicture(stream);
    EXPECT_EQ(picture.Width(), 4);
    EXPECT_EQ(stream.Position(), int64_t(13 + file.size()));
}

TEST(PNGReader, ImageDataEndingEarlyLeavesZeroRows) {
    std::vector<std::string> rows(6, std::string(4, '\x80'));
    std::string z = Deflate(FilteredData(rows, 1));
    // A zlib stream cut in its middle: inflate stops with no input, the rows
    // it did not reach stay zero, and the load succeeds.
    const std::string file = kSignature + Ihdr(4, 6, 8, 0) + Chunk("IDAT", z.substr(0, 6)) + Iend();
    auto picture = Decode(file);
    EXPECT_EQ(picture->ScanLine(5)[3], 0);
}

TEST(PNGReader, LargePicturesWithinTheWorkingMemoryLoad) {
    // A row of 4 MB; and a picture of 8000 x 8000 whose data stops after two
    // rows: the rest stays zero.
    const std::string row = std::string(1, '\0') + std::string(4000000, '\x01');
    auto wide = Decode(kSignature + Ihdr(4000000, 1, 8, 0) + Idat(row) + Iend());
    EXPECT_EQ(wide->ScanLine(0)[3999999], 1);
    const std::string rows =
        std::string(1, '\0') + std::string(32000, '\x7f') + std::string(1, '\0') + std::string(32000, '\x7f');
    const std::string z = Deflate(rows + std::string(50, '\0'));
    auto tall =
        Decode(kSignature + Ihdr(8000, 8000, 8, 6) + Chunk("IDAT", z.substr(0, z.size() - 8)) + Iend());
    EXPECT_EQ(tall->ScanLine(0)[4], 0x7f);
    EXPECT_EQ(tall->Height(), 8000);
    EXPECT_EQ(tall->ScanLine(7999)[31999], 0);
}

TEST(PNGReader, SixteenBitSamplesAreCutNotRounded) {
    std::string row(1, '\0');
    for (unsigned v : {65535u, 257u, 256u, 0u, 32896u})
        row += std::string{char(v >> 8), char(v & 255)};
    auto picture = Decode(kSignature + Ihdr(5, 1, 16, 0) + Idat(row) + Iend());
    const uint8_t* p = picture->ScanLine(0);
    EXPECT_EQ(std::vector<int>(p, p + 5), (std::vector<int>{255, 1, 0, 0, 128}));
}

TEST(PNGReader, GammaTable) {
    const auto table = PngGammaTable(45455 / 100000.0);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(table[size_t(i)], i) << i;
    EXPECT_EQ(PngGammaTable(0), PngGammaTable(1.0));
    const auto bright = PngGammaTable(1.0);
    EXPECT_EQ(bright[0], 0);
    EXPECT_EQ(bright[255], 255);
    EXPECT_EQ(bright[128], 186); // (128/255)^(1/2.2) x 255 = 186.1

    // Colour samples pass through it, alpha does not; the grey palette is looked
    // up at the level each entry stands for.
    const std::string gama = Chunk("gAMA", Be32(100000));
    auto rgba =
        Decode(kSignature + Ihdr(1, 1, 8, 6) + gama + Idat(std::string("\0\x80\x80\x80\x80", 5)) + Iend());
    EXPECT_EQ(rgba->Pixel(0, 0), MakeColor32(186, 186, 186, 128));
    auto grey = Decode(kSignature + Ihdr(2, 1, 1, 0) + gama + Idat(std::string("\0\x40", 2)) + Iend());
    EXPECT_EQ(grey->Pixel(0, 0), MakeColor32(0, 0, 0));
    EXPECT_EQ(grey->Pixel(1, 0), MakeColor32(255, 255, 255));
}

// ---- Adam7: the same pixels stored interlaced and straight give the same raster.

struct TFormat {
    int colorType, depth, samples;
    int Bits() const { return depth * samples; }
};

std::string PackRow(const std::vector<uint64_t>& pixels, int bits) {
    std::string out((pixels.size() * size_t(bits) + 7) / 8, '\0');
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (bits < 8) {
            size_t bit = i * size_t(bits);
            out[bit / 8] = char(uint8_t(out[bit / 8]) | pixels[i] << (8 - bits - bit % 8));
        } else {
            for (int b = 0; b < bits / 8; ++b)
                out[i * size_t(bits / 8) + size_t(b)] = char(pixels[i] >> (bits - 8 - 8 * b));
        }
    }
    return out;
}

std::string Encode(const std::vector<std::vector<uint64_t>>& image, uint32_t w, const TFormat& f,
                   bool interlaced) {
    static const uint32_t passes[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                          {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    const int step = std::max(1, f.Bits() / 8);
    std::string raw;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const uint32_t* pass = interlaced ? passes[p] : passes[6];
        const uint32_t cs = interlaced ? pass[0] : 0, cstep = interlaced ? pass[1] : 1;
        const uint32_t rs = interlaced ? pass[2] : 0, rstep = interlaced ? pass[3] : 1;
        std::vector<std::string> rows;
        for (uint32_t y = rs; y < image.size(); y += rstep) {
            std::vector<uint64_t> pixels;
            for (uint32_t x = cs; x < w; x += cstep)
                pixels.push_back(image[y][x]);
            if (!pixels.empty()) rows.push_back(PackRow(pixels, f.Bits()));
        }
        raw += FilteredData(rows, step, p);
    }
    std::string palette;
    for (int i = 0; i < 16 * 3; ++i)
        palette += char(i * 5);
    return kSignature + Ihdr(w, uint32_t(image.size()), f.depth, f.colorType, interlaced ? 1 : 0) +
           (f.colorType == 3 ? Chunk("PLTE", palette) : "") + Idat(raw) + Iend();
}

TEST(PNGReader, InterlacedAndStraightGiveTheSameRaster) {
    const TFormat formats[] = {{0, 1, 1}, {0, 2, 1},  {3, 2, 1}, {0, 4, 1}, {0, 8, 1}, {0, 16, 1},
                               {2, 8, 3}, {2, 16, 3}, {4, 8, 2}, {6, 8, 4}, {6, 16, 4}};
    std::mt19937_64 random(7);
    for (const TFormat& f : formats)
        for (uint32_t w : {1u, 2u, 3u, 5u, 8u, 9u, 13u})
            for (uint32_t h : {1u, 2u, 4u, 7u, 9u}) {
                SCOPED_TRACE(testing::Message() << f.colorType << "/" << f.depth << " " << w << "x" << h);
                const uint64_t mask = f.Bits() == 64 ? ~0ull : (1ull << f.Bits()) - 1;
                std::vector<std::vector<uint64_t>> image(h, std::vector<uint64_t>(w));
                for (auto& row : image)
                    for (auto& v : row)
                        v = random() & mask & (f.colorType == 3 ? 15 : ~0ull);
                auto straight = Decode(Encode(image, w, f, false));
                auto interlaced = Decode(Encode(image, w, f, true));
                std::vector<TColor32> a(w), b(w);
                for (uint32_t y = 0; y < h; ++y) {
                    straight->RowToColor32(int(y), a.data());
                    interlaced->RowToColor32(int(y), b.data());
                    ASSERT_EQ(a, b) << "row " << y;
                }
            }
}

TEST(PNGReader, InterlacedWidthOneUsesOnlyTheFirstColumnPasses) {
    // Width 1: passes 1, 3, 5 and 7 carry rows 0 | 4 | 2, 6 | 1, 3, 5, 7.
    std::string raw;
    for (int y : {0, 4, 2, 6, 1, 3, 5, 7})
        raw += std::string{'\0', char(10 * y)};
    auto picture = Decode(kSignature + Ihdr(1, 8, 8, 0, 1) + Idat(raw) + Iend());
    for (int y = 0; y < 8; ++y)
        EXPECT_EQ(picture->ScanLine(y)[0], 10 * y);
}

TEST(PNGReader, EveryFilterOnLongRowsManyRowsAndTies) {
    // A row longer than a block, blocks of many rows, and values from {0, 1, 2}
    // where the Paeth and average predictions tie all the time; colour and
    // colour with alpha, every filter in turn.
    const struct {
        uint32_t w, h;
        int channels, range;
    } cases[] = {
        {70000, 3, 4, 256}, {301, 1200, 4, 256}, {301, 1200, 3, 256}, {97, 60, 3, 3}, {97, 60, 4, 3}};
    std::mt19937 random(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.channels << " range " << c.range);
        std::vector<std::string> rows(c.h);
        for (auto& row : rows) {
            row.resize(size_t(c.w) * size_t(c.channels));
            for (auto& v : row)
                v = char(c.range < 256 ? random() % 3 : random() % 7 + (&v - row.data()) % 200);
        }
        const std::string file = kSignature + Ihdr(c.w, c.h, 8, c.channels == 4 ? 6 : 2) +
                                 Idat(FilteredData(rows, c.channels)) + Iend();
        auto picture = Decode(file);
        for (uint32_t y = 0; y < c.h; ++y) {
            const uint8_t* p = picture->ScanLine(int(y));
            const std::string& row = rows[y];
            for (size_t x = 0; x < c.w; ++x) {
                const size_t n = size_t(c.channels);
                const bool same = p[n * x] == uint8_t(row[n * x + 2]) &&
                                  p[n * x + 1] == uint8_t(row[n * x + 1]) &&
                                  p[n * x + 2] == uint8_t(row[n * x]) &&
                                  (n == 3 || p[n * x + 3] == uint8_t(row[n * x + 3]));
                ASSERT_TRUE(same) << x << "," << y;
            }
        }
    }
}

// ---- The zlib stream of the image data: its header, its end and its Adler-32.

// A zlib stream with the given window (9 to 15 bits).
std::string DeflateWindow(const std::string& raw, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(raw.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = uInt(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The header bytes replaced: method and window, the dictionary flag, and
// check bits that make the two a multiple of 31 again.
std::string WithHeader(std::string z, unsigned method, unsigned flags) {
    flags &= 0xE0;
    flags += (31 - (method << 8 | flags) % 31) % 31;
    z[0] = char(method);
    z[1] = char(flags);
    return z;
}

TEST(PNGReader, ZlibStreamHeaderEndAndChecksum) {
    // 64 rows whose second half repeats the first from 8 KiB back.
    std::mt19937 random(17);
    std::string raw;
    for (size_t y = 0; y < 64; ++y) {
        raw += '\0'; // no filter, so that the repeated rows are repeated bytes
        for (size_t x = 0; x < 255; ++x)
            raw += y < 32 ? char(random() % 251) : raw[raw.size() - 32 * 256];
    }
    const std::string z = Deflate(raw);
    const std::string head = kSignature + Ihdr(255, 64, 8, 0);
    const std::string badAdler = [&] {
        std::string b = z;
        b.back() = char(b.back() ^ 0x10);
        return b;
    }();
    const std::string kCompression = "Cannot load image. Compression error found in PNG file.";
    const std::string kLoads = "no error";
    const size_t n = z.size();
    const struct {
        const char* what;
        std::string data; // the IDAT chunks
        std::string message;
    } cases[] = {
        {"a window of 512 bytes", Chunk("IDAT", DeflateWindow(raw, 9)), kLoads},
        {"a window of 16 KiB", Chunk("IDAT", DeflateWindow(raw, 14)), kLoads},
        {"a preset dictionary", Chunk("IDAT", WithHeader(z, 0x78, 0x20)), kCompression},
        {"compression method 7", Chunk("IDAT", WithHeader(z, 0x77, 0)), kCompression},
        {"a window of 64 KiB", Chunk("IDAT", WithHeader(z, 0x88, 0)), kCompression},
        {"the checksum across two chunks", Chunk("IDAT", z.substr(0, n - 2)) + Chunk("IDAT", z.substr(n - 2)),
         kLoads},
        {"the checksum alone in the last chunk",
         Chunk("IDAT", z.substr(0, n - 4)) + Chunk("IDAT", z.substr(n - 4)) + Chunk("IDAT", "more"), kLoads},
        {"a wrong checksum across two chunks",
         Chunk("IDAT", badAdler.substr(0, n - 1)) + Chunk("IDAT", badAdler.substr(n - 1)), kCompression},
        {"bytes after the checksum in its chunk",
         Chunk("IDAT", z.substr(0, n - 4)) + Chunk("IDAT", z.substr(n - 4) + "x"),
         "Cannot load image. Extra compressed data found in PNG file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Message(head + c.data + Iend()),
                  c.message == kLoads ? c.message : "EInvalidGraphic: " + c.message);
    }
}

TEST(PNGReader, StreamEndingWhereABlockOfRowsEndsIsExtraData) {
    // The stream ends after exactly some power of two rows of 1 KiB, which
    // is where a block of rows ends, and the picture has more rows after them.
    for (size_t given : {64, 128, 256, 512, 1024}) {
        SCOPED_TRACE(given);
        const std::vector<std::string> rows(given, std::string(1023, '\x11'));
        const std::string file =
            kSignature + Ihdr(1023, uint32_t(2 * given), 8, 0) + Idat(FilteredData(rows, 1)) + Iend();
        EXPECT_EQ(Message(file), std::string("EInvalidGraphic: ") + kExtra);
    }
}

TEST(PNGReader, CutAndDamagedStreamsGetZlibsVerdict) {
    // zlib's own verdict on the whole stream, with the checksum checked: a
    // broken stream is a compression error, one that ends before the image
    // or before its chunk is extra data, and one cut short loads.
    const std::vector<std::string> rows = SmallRows();
    const std::string raw = FilteredData(rows, 3);
    const std::string z = Deflate(raw);
    const auto zlibVerdict = [&](const std::string& stream) {
        std::string out(raw.size(), '\0');
        z_stream s{};
        inflateInit(&s);
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
        s.avail_in = uInt(stream.size());
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = uInt(out.size());
        const int result = inflate(&s, Z_FINISH);
        const bool short_ = s.avail_out > 0, left = s.avail_in > 0;
        inflateEnd(&s);
        if (result == Z_STREAM_END && (short_ || left)) return std::string("EInvalidGraphic: ") + kExtra;
        if (result == Z_DATA_ERROR || result == Z_NEED_DICT)
            return std::string("EInvalidGraphic: Cannot load image. Compression error found in PNG file.");
        return std::string("no error");
    };
    std::mt19937 random(23);
    int verdicts[3] = {};
    for (int trial = 0; trial < 3000; ++trial) {
        std::string damaged = z;
        if (trial < int(z.size())) {
            damaged.resize(size_t(trial)); // every cut, the header's and the checksum's too
        } else {
            // Some with a byte after the stream in its chunk: extra data, undamaged or not.
            if (trial % 10 == 1) damaged += 'x';
            for (int k = trial % 20 == 1 ? 0 : int(random() % 3) + 1; k > 0; --k)
                damaged[random() % damaged.size()] ^= char(1u << (random() % 8));
        }
        const std::string expected = zlibVerdict(damaged);
        ++verdicts[expected == "no error" ? 0 : expected.find("Extra") != std::string::npos ? 1 : 2];
        SCOPED_TRACE(trial);
        ASSERT_EQ(Message(kSignature + Ihdr(4, 3, 8, 2) + Chunk("IDAT", damaged) + Iend()), expected);
    }
    EXPECT_GT(verdicts[0], 50);
    EXPECT_GT(verdicts[1], 5);
    EXPECT_GT(verdicts[2], 500);
}

TEST(PNGReader, CompressedDataBeyondTheImageIsNotInflated) {
    // A 1 x 1 picture whose stream would inflate to 16 MiB: the one row is
    // read and the rest is left compressed.
    const std::string bomb = std::string(1, '\0') + std::string(2, '\x7f') + std::string(16u << 20, '\0');
    auto picture = Decode(kSignature + Ihdr(1, 1, 8, 0) + Idat(bomb) + Iend());
    EXPECT_EQ(picture->ScanLine(0)[0], 0x7f);
}

} // namespace
