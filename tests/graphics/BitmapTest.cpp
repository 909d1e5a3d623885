#include "GraphicsTestFiles.h"

#include "graphics/Bitmap.h"

#include <cstring>
#include <fstream>
#include <functional>

using namespace gfxtest;

namespace {

// Pixel rows of a BMP: value(x, y) for the picture's top-down coordinates,
// packed at bpp bits, each row padded to 4 bytes, stored bottom-up unless topDown.
std::string Rows(int w, int h, int bpp, const std::function<uint32_t(int, int)>& value,
                 bool topDown = false) {
    const size_t rowBytes = size_t((w * bpp + 31) / 32 * 4);
    std::string out;
    for (int i = 0; i < h; ++i) {
        int y = topDown ? i : h - 1 - i;
        std::string row(rowBytes, '\0');
        for (int x = 0; x < w; ++x) {
            uint32_t v = value(x, y);
            if (bpp < 8) {
                int bit = x * bpp;
                row[size_t(bit / 8)] = char(row[size_t(bit / 8)] | (v << (8 - bpp - bit % 8)));
            } else {
                for (int k = 0; k < bpp / 8; ++k)
                    row[size_t(x * bpp / 8 + k)] = char((v >> (8 * k)) & 255);
            }
        }
        out += row;
    }
    return out;
}

std::unique_ptr<TBitmap> Load(const std::string& bytes) {
    auto bitmap = std::make_unique<TBitmap>();
    ReadInto(*bitmap, bytes);
    return bitmap;
}

void ExpectMessage(const std::string& bytes, const std::string& message) {
    TBitmap bitmap;
    try {
        ReadInto(bitmap, bytes);
        FAIL() << "no error, expected " << message;
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), message);
    }
}

const std::vector<uint32_t> kFourColors = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
TColor32 Opaque(uint32_t rgb) {
    return 0xFF000000 | rgb;
}

} // namespace

TEST(BmpReader, ReadsEveryUncompressedDepth) {
    const int w = 5, h = 3;
    auto index = [](int x, int y) { return uint32_t((x + y) % 4); };
    struct Case {
        int Bpp;
        TPixelFormat Format;
        std::function<uint32_t(int, int)> Stored;
    };
    std::vector<Case> cases = {
        {1, TPixelFormat::pf1bit, [&](int x, int y) { return index(x, y) % 2; }},
        {4, TPixelFormat::pf4bit, index},
        {8, TPixelFormat::pf8bit, index},
        // 5-5-5: each channel's 5 bits are widened by repeating the high bits.
        {16, TPixelFormat::pf15bit,
         [&](int x, int y) {
             return uint32_t(kFourColors[index(x, y)] ? 0x7C00 >> (5 * (index(x, y) - 1)) : 0);
         }},
        {24, TPixelFormat::pf24bit, [&](int x, int y) { return kFourColors[index(x, y)]; }},
        {32, TPixelFormat::pf32bit, [&](int x, int y) { return kFourColors[index(x, y)] | 0x12000000; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bpp);
        TBmpFile layout;
        layout.Width = w;
        layout.Height = h;
        layout.BitCount = uint16_t(c.Bpp);
        if (c.Bpp <= 8) layout.Palette = kFourColors;
        layout.Pixels = Rows(w, h, c.Bpp, c.Stored);
        auto bitmap = Load(MakeBmp(layout));
        ASSERT_EQ(bitmap->Width(), w);
        ASSERT_EQ(bitmap->Height(), h);
        EXPECT_EQ(bitmap->PixelFormat(), c.Format);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint32_t want = kFourColors[c.Bpp == 1 ? index(x, y) % 2 : index(x, y)];
                ASSERT_EQ(bitmap->Pixel(x, y), Opaque(want)) << x << "," << y;
            }
    }
}

TEST(BmpReader, CoreHeaderTopDownRowsAndShortPalettes) {
    TBmpFile core;
    core.Core = true;
    core.Width = 2;
    core.Height = 2;
    core.BitCount = 8;
    core.Palette = std::vector<uint32_t>(256, 0x336699);
    core.Palette[1] = 0xABCDEF;
    core.Pixels = Rows(2, 2, 8, [](int x, int y) { return uint32_t(x == 1 && y == 0); });
    auto bitmap = Load(MakeBmp(core));
    EXPECT_EQ(bitmap->Pixel(1, 0), Opaque(0xABCDEF));
    EXPECT_EQ(bitmap->Pixel(0, 1), Opaque(0x336699));

    TBmpFile topDown;
    topDown.Width = 2;
    topDown.Height = -2;
    topDown.Pixels = Rows(
        2, 2, 24, [](int x, int y) { return uint32_t(y == 0 && x == 0 ? 0xFF0000 : 0); }, true);
    bitmap = Load(MakeBmp(topDown));
    EXPECT_EQ(bitmap->Height(), 2);
    EXPECT_EQ(bitmap->Pixel(0, 0), Opaque(0xFF0000));
    EXPECT_EQ(bitmap->Pixel(0, 1), Opaque(0));

    // Two colours used by a 8-bit picture that names index 7: black, never a read past the table.
    TBmpFile shortTable;
    shortTable.BitCount = 8;
    shortTable.ClrUsed = 2;
    shortTable.Palette = {0x111111, 0x222222};
    shortTable.Pixels = Rows(1, 1, 8, [](int, int) { return 7u; });
    EXPECT_EQ(Load(MakeBmp(shortTable))->Pixel(0, 0), Opaque(0));
}

TEST(BmpReader, BitFieldMasks) {
    TBmpFile rgb565;
    rgb565.Width = 2;
    rgb565.BitCount = 16;
    rgb565.Compression = 3;
    rgb565.Masks = {0xF800, 0x07E0, 0x001F};
    rgb565.Pixels = Rows(2, 1, 16, [](int x, int) { return x ? 0x07E0u : 0xF800u; });
    auto bitmap = Load(MakeBmp(rgb565));
    EXPECT_EQ(bitmap->PixelFormat(), TPixelFormat::pf16bit);
    EXPECT_EQ(bitmap->Pixel(0, 0), Opaque(0xFF0000));
    EXPECT_EQ(bitmap->Pixel(1, 0), Opaque(0x00FF00));

    // Masks no raster format has are converted to 32 bits per pixel.
    TBmpFile rgb444 = rgb565;
    rgb444.Masks = {0x0F00, 0x00F0, 0x000F};
    rgb444.Pixels = Rows(2, 1, 16, [](int x, int) { return x ? 0x0080u : 0x0F00u; });
    bitmap = Load(MakeBmp(rgb444));
    EXPECT_EQ(bitmap->PixelFormat(), TPixelFormat::pf32bit);
    EXPECT_EQ(bitmap->Pixel(0, 0), Opaque(0xFF0000));
    EXPECT_EQ(bitmap->Pixel(1, 0), Opaque(0x008800));

    TBmpFile swapped;
    swapped.BitCount = 32;
    swapped.Compression = 3;
    swapped.Masks = {0x000000FF, 0x0000FF00, 0x00FF0000};
    swapped.Pixels = Rows(1, 1, 32, [](int, int) { return 0x00563412u; });
    EXPECT_EQ(Load(MakeBmp(swapped))->Pixel(0, 0), Opaque(0x123456));
}

TEST(BmpReader, Rle8RunsEscapesAndDelta) {
    TBmpFile rle;
    rle.Width = 6;
    rle.Height = 3;
    rle.BitCount = 8;
    rle.Compression = 1;
    rle.Palette = {0x000000, 0x111111, 0x222222, 0x333333};
    // File row 0 is the bottom row. Run of 3 x index 1, absolute 3 pixels (padded), end of line;
    // delta right 2 and up 1 (to the top row), run 2 x index 3; end of bitmap; then bytes that must be
    // ignored.
    const char data[] = {3, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 2, 1, 2, 3, 0, 1, 5, 2};
    rle.Pixels.assign(data, sizeof data);
    auto bitmap = Load(MakeBmp(rle));
    ASSERT_EQ(bitmap->PixelFormat(), TPixelFormat::pf8bit);
    std::vector<std::vector<uint32_t>> want = {
        {0, 0, 3, 3, 0, 0},
        {0, 0, 0, 0, 0, 0},
        {1, 1, 1, 2, 3, 2},
    };
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(bitmap->ScanLine(y)[x], want[size_t(y)][size_t(x)]) << x << "," << y;
}

TEST(BmpReader, Rle4RunsAlternateNibbles) {
    TBmpFile rle;
    rle.Width = 8;
    rle.Height = 1;
    rle.BitCount = 4;
    rle.Compression = 2;
    rle.Palette = kFourColors;
    // Run of 5 alternating 1 and 2, then absolute 3 pixels 3, 1, 2 (two bytes), end of bitmap.
    const char data[] = {5, 0x12, 0, 3, 0x31, 0x20, 0, 1};
    rle.Pixels.assign(data, sizeof data);
    auto bitmap = Load(MakeBmp(rle));
    const uint32_t want[] = {1, 2, 1, 2, 1, 3, 1, 2};
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(bitmap->Pixel(x, 0), Opaque(kFourColors[want[x]])) << x;
}

// The reader takes run-length data in blocks of 1 MiB: runs that straddle a
// block's end (here absolute runs of 255 pixels, 8000 rows of them, over
// 1 MiB at 4 bits and twice that at 8) decode as if the data came in one piece.
TEST(BmpReader, RunsAcrossReadBlocksDecodeWhole) {
    for (int bits : {8, 4}) {
        TBmpFile rle;
        rle.Width = 255;
        rle.Height = 8000;
        rle.BitCount = uint16_t(bits);
        rle.Compression = bits == 8 ? 1 : 2;
        for (uint32_t i = 0; i < (1u << bits); ++i)
            rle.Palette.push_back(i);
        const auto value = [bits](int x, int y) { return uint8_t((x + 3 * y) % (1 << bits)); };
        for (int y = rle.Height - 1; y >= 0; --y) { // bottom row first
            std::string run = {'\0', char(255)};
            for (int x = 0; x < 255; x += 8 / bits)
                run += char(bits == 8 ? value(x, y) : value(x, y) << 4 | value(x + 1, y));
            if (run.size() % 2) run += '\0';
            rle.Pixels += run + std::string(2, '\0'); // end of line
        }
        ASSERT_GT(rle.Pixels.size(), size_t(1) << 20);
        auto bitmap = Load(MakeBmp(rle));
        for (int y = 0; y < rle.Height; y += 37)
            for (int x : {0, 1, 100, 253, 254})
                ASSERT_EQ(bitmap->Pixel(x, y), Opaque(value(x, y))) << bits << " bits, " << x << "," << y;
    }
}

TEST(BmpReader, RleNeverWritesOutsideTheRaster) {
    TBmpFile rle;
    rle.Width = 2;
    rle.Height = 2;
    rle.BitCount = 8;
    rle.Compression = 1;
    rle.Palette = kFourColors;
    // A run far past the right edge, a delta far past the top, an absolute run cut by the file's end.
    const char data[] = {char(200), 1, 0, 2, char(255), char(255), 0, 0, 0, char(250), 2, 2};
    rle.Pixels.assign(data, sizeof data);
    auto bitmap = Load(MakeBmp(rle));
    EXPECT_EQ(bitmap->Pixel(0, 1), Opaque(kFourColors[1]));
    EXPECT_EQ(bitmap->Pixel(1, 1), Opaque(kFourColors[1]));
    EXPECT_EQ(bitmap->Pixel(0, 0), Opaque(0));
}

TEST(BmpReader, FailuresAndTheirMessages) {
    TBmpFile good;
    good.Pixels = std::string(4, '\0');
    std::string notBm = MakeBmp(good);
    notBm[0] = 'X';
    ExpectMessage(notBm, "Bitmap image is not valid");

    TBmpFile planes = good;
    planes.Planes = 2;
    ExpectMessage(MakeBmp(planes), "Bitmap image is not valid");

    TBmpFile jpegInside = good;
    jpegInside.Compression = 4;
    ExpectMessage(MakeBmp(jpegInside), "Bitmap image is not valid");

    // 70000 x 70000 pixels is more than any raster this program holds.
    TBmpFile huge = good;
    huge.Width = 70000;
    huge.Height = 70000;
    ExpectMessage(MakeBmp(huge), "Bitmap image is not valid");

    TBmpFile noWidth = good;
    noWidth.Width = 0;
    ExpectMessage(MakeBmp(noWidth), "Bitmap image is not valid");

    // A colour count that runs past the end of the file is a read error, whatever its size.
    TBmpFile table = good;
    table.BitCount = 8;
    table.ClrUsed = 0xFFFFFFF0;
    ExpectMessage(MakeBmp(table), "Stream read error");
    TBmpFile masks = good;
    masks.BitCount = 32;
    masks.Compression = 3;
    masks.Pixels.clear();
    std::string cut = MakeBmp(masks);
    ExpectMessage(cut, "Stream read error");
    ExpectMessage(cut.substr(0, 20), "Stream read error");
}

TEST(BmpReader, EmptyFilesAndMissingRows) {
    auto bitmap = Load(MakeBmp(TBmpFile{}));
    ReadInto(*bitmap, "");
    EXPECT_TRUE(bitmap->Empty());
    EXPECT_EQ(bitmap->Width(), 0);
    TCanvas canvas(4, 4, 0xFF445566);
    bitmap->DrawInRect(canvas, Rect(0, 0, 4, 4));
    EXPECT_EQ(canvas.ScanLine(2)[2], 0xFF445566u);

    // A file cut after its first (bottom) row keeps the rows above it black.
    TBmpFile cut;
    cut.Width = 1;
    cut.Height = 3;
    cut.Pixels = Rows(1, 3, 24, [](int, int) { return 0xFFFFFFu; }).substr(0, 4);
    bitmap = Load(MakeBmp(cut));
    EXPECT_EQ(bitmap->Pixel(0, 2), Opaque(0xFFFFFF));
    EXPECT_EQ(bitmap->Pixel(0, 0), Opaque(0));
}

TEST(BmpReader, PixelsStartWhereTheFileHeaderSays) {
    TBmpFile layout;
    layout.Pixels = std::string("\x01\x02\x03\x00", 4);
    std::string bmp = MakeBmp(layout);
    // Twelve bytes of gap between the header and the pixels, as some writers leave.
    bmp.insert(54, std::string(12, '\x7F'));
    bmp[10] = char(54 + 12);
    EXPECT_EQ(Load(bmp)->Pixel(0, 0), Opaque(0x030201));
    layout.OffBitsZero = true;
    EXPECT_EQ(Load(MakeBmp(layout))->Pixel(0, 0), Opaque(0x030201));
}

TEST(BmpReader, PngSuiteBitmapsMatchTheirReference) {
    const std::string dir = std::string(QUILLORA_TESTDATA_DIR) + "/pngsuite/";
    for (const char* name : {"basn2c08", "basn0g08", "basn3p04", "basn6a08"}) {
        SCOPED_TRACE(name);
        TBitmap bitmap;
        bitmap.LoadFile(dir + "bmp/" + name + ".bmp");
        // The reference is [r,g,b,a,...] as JSON; alpha is not part of a plain bitmap copy.
        std::string json = ReadFile(dir + "json/" + name + ".json");
        std::vector<int> ref;
        for (size_t i = 0; i < json.size();) {
            if (isdigit(static_cast<unsigned char>(json[i]))) {
                size_t used = 0;
                ref.push_back(std::stoi(json.substr(i), &used));
                i += used;
            } else {
                ++i;
            }
        }
        ASSERT_EQ(ref.size(), size_t(bitmap.Width() * bitmap.Height() * 4));
        for (int y = 0; y < bitmap.Height(); ++y)
            for (int x = 0; x < bitmap.Width(); ++x) {
                size_t i = size_t(y * bitmap.Width() + x) * 4;
                ASSERT_EQ(bitmap.Pixel(x, y) & 0xFFFFFF,
                          TColor32(ref[i] << 16 | ref[i + 1] << 8 | ref[i + 2]))
                    << x << "," << y;
            }
    }
}

TEST(BitmapDrawing, NearestNeighbourScalingAndClipping) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(TPixelFormat::pf32bit);
    bitmap.SetSize(2, 2);
    const TColor32 colors[2][2] = {{0xFF000001, 0xFF000002}, {0xFF000003, 0xFF000004}};
    for (int y = 0; y < 2; ++y)
        std::memcpy(bitmap.ScanLine(y), colors[y], 8);

    TCanvas canvas(6, 6, 0xFFFFFFFF);
    bitmap.DrawInRect(canvas, Rect(1, 1, 5, 5));
    EXPECT_EQ(canvas.ScanLine(0)[0], 0xFFFFFFFFu);
    EXPECT_EQ(canvas.ScanLine(1)[1], colors[0][0]);
    EXPECT_EQ(canvas.ScanLine(2)[2], colors[0][0]);
    EXPECT_EQ(canvas.ScanLine(2)[3], colors[0][1]);
    EXPECT_EQ(canvas.ScanLine(4)[4], colors[1][1]);
    EXPECT_EQ(canvas.ScanLine(5)[5], 0xFFFFFFFFu);

    // Shrinking drops rows and columns; a rectangle hanging over every edge is clipped.
    TCanvas small(1, 1, 0);
    bitmap.DrawInRect(small, Rect(0, 0, 1, 1));
    EXPECT_EQ(small.ScanLine(0)[0], colors[0][0]);
    TCanvas clipped(2, 2, 0);
    bitmap.DrawInRect(clipped, Rect(-2, -2, 4, 4));
    EXPECT_EQ(clipped.ScanLine(0)[0], colors[0][0]);
    EXPECT_EQ(clipped.ScanLine(1)[1], colors[1][1]);
    bitmap.DrawInRect(clipped, Rect(3, 3, 3, 9)); // empty: nothing happens
    bitmap.DrawInRect(clipped, Rect(100, 100, 200, 200));
}

// A picture of 2^24 columns drawn as a 140 x 137 thumbnail: the column
// arithmetic must not wrap, and no row of the picture's width is buffered.
TEST(BitmapDrawing, VeryWidePicturesScaleWithoutWrapping) {
    TBmpFile wide;
    wide.Width = 1 << 24;
    wide.Height = 16;
    wide.BitCount = 1;
    wide.Palette = {0x112233, 0x445566};
    const std::string bare = MakeBmp(wide); // 62 bytes, every row missing: index 0
    ASSERT_EQ(bare.size(), 62u);
    wide.Height = 1;
    // The right half of the one row is index 1.
    wide.Pixels = std::string(size_t(1) << 20, '\0') + std::string(size_t(1) << 20, '\xFF');
    const std::string halves = MakeBmp(wide);
    for (const std::string* file : {&bare, &halves}) {
        std::unique_ptr<TBitmap> bitmap = Load(*file);
        TCanvas canvas(140, 137, 0);
        bitmap->DrawInRect(canvas, Rect(0, 0, 140, 137));
        const TColor32 right = file == &bare ? Opaque(0x112233) : Opaque(0x445566);
        EXPECT_EQ(canvas.ScanLine(0)[0], Opaque(0x112233));
        EXPECT_EQ(canvas.ScanLine(136)[69], Opaque(0x112233));
        EXPECT_EQ(canvas.ScanLine(136)[70], right);
        EXPECT_EQ(canvas.ScanLine(60)[139], right);
        EXPECT_EQ(bitmap->Pixel((1 << 24) - 1, 0), right);
    }
}

TEST(BitmapRaster, CopiesShareUntilWritten) {
    TBitmap a;
    a.SetSize(1, 1);
    a.ScanLine(0)[0] = 9;
    TBitmap b;
    b.Assign(a);
    EXPECT_EQ(static_cast<const TBitmap&>(b).ScanLine(0), static_cast<const TBitmap&>(a).ScanLine(0));
    b.ScanLine(0)[0] = 7;
    EXPECT_EQ(static_cast<const TBitmap&>(a).ScanLine(0)[0], 9);
    EXPECT_THROW(a.SetSize(1 << 20, 1 << 20), EOutOfMemory);
    EXPECT_EQ(a.Width(), 1);
    EXPECT_THROW(a.ScanLine(1), EInvalidGraphicOperation);
}

TEST(BitmapRaster, StoredDataIsACountAndTheFile) {
    TBmpFile layout;
    layout.Pixels = std::string("\x10\x20\x30\x00", 4);
    std::string bmp = MakeBmp(layout);
    std::string stored;
    Le32(stored, uint32_t(bmp.size()));
    TStringStream stream(stored + bmp + "trailing");
    TBitmap bitmap;
    bitmap.ReadStoredData(stream);
    EXPECT_EQ(bitmap.Pixel(0, 0), Opaque(0x302010));
    EXPECT_EQ(stream.Position(), int64_t(4 + bmp.size()));

    std::string tooLong;
    Le32(tooLong, 1000);
    TStringStream shortStream(tooLong + bmp);
    EXPECT_THROW(bitmap.ReadStoredData(shortStream), EReadError);
}

// Blocks on either side of the sizes where memory comes straight from the
// kernel in huge pages: zero from the first byte to the last, every page
// writable, copies and moves keep the bytes.
TEST(PixelBuffer, BlocksAroundHugePageSizesAreZeroAndWhole) {
    constexpr size_t huge = size_t(2) << 20;
    for (size_t size : {huge - 1, huge, huge + 1, 2 * huge - 4096, 2 * huge + 4095, 5 * huge + 3}) {
        SCOPED_TRACE(size);
        TPixelBuffer block(size);
        ASSERT_EQ(block.size(), size);
        uint8_t* bytes = block.data();
        size_t nonzero = 0;
        for (size_t i = 0; i < size; ++i)
            nonzero += bytes[i] != 0;
        EXPECT_EQ(nonzero, 0u);
        for (size_t i = 0; i < size; i += 4096)
            bytes[i] = uint8_t(i / 4096 + 1);
        bytes[size - 1] = 0xEE;
        TPixelBuffer copy(block);
        EXPECT_EQ(std::memcmp(copy.data(), bytes, size), 0);
        TPixelBuffer moved(std::move(copy));
        EXPECT_EQ(moved.data()[size - 1], 0xEE);
        EXPECT_EQ(moved.data()[4096], 2);
    }
}
