#include "GraphicsTestFiles.h"

#include "graphics/Icon.h"
#include "graphics/Picture.h"

#include <zlib.h>

using namespace gfxtest;

namespace {

TIconDirEntry Entry(int w, int h, int colors = 0) {
    TIconDirEntry e;
    e.Width = w;
    e.Height = h;
    e.ColorCount = colors;
    return e;
}

TIcoEntry Solid(int size, uint32_t color) {
    TIcoEntry e;
    e.Width = e.Height = size;
    e.Image = MakeIconDib(
        size, size, [&](int, int) { return color; }, [](int, int) { return false; });
    return e;
}

} // namespace

TEST(IconEntryChoice, SizeAndColourRules) {
    struct Case {
        std::vector<TIconDirEntry> Entries;
        int DisplayBits;
        int Expected;
    };
    const std::vector<Case> cases = {
        {{Entry(16, 16), Entry(32, 32), Entry(48, 48)}, 32, 1},
        {{Entry(48, 48), Entry(16, 16)}, 32, 1},     // as far off, but not larger than wanted
        {{Entry(24, 24), Entry(40, 40)}, 32, 0},     // as far off and larger: no better
        {{Entry(64, 64), Entry(48, 48)}, 32, 1},     // nearer
        {{Entry(32, 32, 16), Entry(32, 32)}, 32, 1}, // more colours (0 = unlimited)
        {{Entry(32, 32), Entry(32, 32, 16)}, 32, 0}, // fewer colours are never taken
        {{Entry(32, 32, 16), Entry(32, 32)}, 4, 0},  // more colours than the display shows
        {{Entry(32, 32, 2), Entry(32, 32, 16)}, 4, 1},
        {{Entry(32, 16), Entry(32, 32)}, 32, 1}, // both sides count
        {{Entry(32, 32), Entry(32, 16)}, 32, 0},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(TIcon::ChooseEntry(cases[i].Entries, 32, 32, cases[i].DisplayBits), cases[i].Expected) << i;
    EXPECT_EQ(TIcon::ChooseEntry({}, 32, 32, 32), -1);
}

TEST(IconReader, DecodesTheChosenEntryAtFirstDrawing) {
    TIcon icon;
    ReadInto(icon, MakeIco({Solid(16, 0xFFFF0000), Solid(48, 0xFF0000FF)}));
    EXPECT_FALSE(icon.Empty());
    EXPECT_EQ(icon.Width(), 32); // the system's icon size until decoded
    EXPECT_EQ(icon.Image(), nullptr);
    TCanvas canvas(60, 60, 0xFF000000);
    icon.DrawInRect(canvas, Rect(5, 5, 60, 60));
    EXPECT_EQ(icon.ChosenEntry(), 0);
    EXPECT_EQ(icon.Width(), 16);
    // Drawn at its own size at the rectangle's corner, never stretched.
    EXPECT_EQ(canvas.ScanLine(5)[5], 0xFFFF0000u);
    EXPECT_EQ(canvas.ScanLine(20)[20], 0xFFFF0000u);
    EXPECT_EQ(canvas.ScanLine(21)[21], 0xFF000000u);
}

TEST(IconReader, MaskAndAlphaShowWhatLiesBeneath) {
    TIcoEntry masked;
    masked.Width = masked.Height = 4;
    masked.Image = MakeIconDib(
        4, 4, [](int, int) { return 0x0000FF00u; }, [](int x, int) { return x >= 2; });
    TIcon icon;
    ReadInto(icon, MakeIco({masked}));
    TCanvas canvas(4, 4, 0xFF808080);
    icon.DrawInRect(canvas, Rect(0, 0, 4, 4));
    EXPECT_EQ(canvas.ScanLine(3)[1], 0xFF00FF00u);
    EXPECT_EQ(canvas.ScanLine(3)[2], 0xFF808080u);

    // A 32-bit entry with alpha is mixed by its alpha; the mask is not used then.
    TIcoEntry alpha;
    alpha.Width = alpha.Height = 2;
    alpha.Image = MakeIconDib(
        2, 2, [](int x, int) { return x ? 0x80FFFFFFu : 0xFF0000FFu; }, [](int, int) { return true; });
    TIcon blended;
    ReadInto(blended, MakeIco({alpha}));
    TCanvas black(2, 2, 0xFF000000);
    blended.DrawInRect(black, Rect(0, 0, 2, 2));
    EXPECT_EQ(black.ScanLine(0)[0], 0xFF0000FFu);
    EXPECT_EQ(black.ScanLine(0)[1], 0xFF808080u);
}

TEST(IconReader, HeaderAndEntryFailures) {
    TIcon icon;
    EXPECT_EQ(ErrorOf([&] { ReadInto(icon, MakeIco({Solid(16, 0)}, 2)); }),
              "EInvalidGraphic: Icon image is not valid");
    EXPECT_EQ(ErrorOf([&] { ReadInto(icon, std::string("\0\0\1", 3)); }), "EReadError: Stream read error");
    EXPECT_TRUE(icon.Empty());

    // Broken entries load (decoding waits) and fail when first drawn.
    std::string badOffset = MakeIco({Solid(16, 0)});
    badOffset[6 + 12] = char(0xF0);
    std::string noEntries = MakeIco({});
    std::string hugeDib = MakeIco({Solid(16, 0)});
    hugeDib[22 + 4] = char(0x7F); // width of 2^30 and more
    hugeDib[22 + 7] = char(0x40);
    std::string cutDib = MakeIco({Solid(16, 0)}).substr(0, 22 + 60);
    // 4097 x 4096 pixels, one bit each, all present: made 32-bit it would
    // take more than the 64 MiB an entry may have.
    TIcoEntry wide;
    wide.Image = MakeIconDib(
        1, 1, [](int, int) { return 0u; }, [](int, int) { return false; });
    wide.Image[4] = char(0x01), wide.Image[5] = char(0x10);                   // width 4097
    wide.Image[8] = char(0x00), wide.Image[9] = char(0x20);                   // height 2 x 4096
    wide.Image[14] = 1;                                                       // one bit per pixel
    wide.Image.resize(40 + 8, '\0');                                          // two colours
    wide.Image += std::string(size_t(516) * 4096 + size_t(516) * 4096, '\0'); // colour rows, mask rows
    const std::string wideDib = MakeIco({wide});
    for (const std::string& bytes : {badOffset, noEntries, hugeDib, cutDib, wideDib}) {
        TIcon broken;
        ReadInto(broken, bytes);
        TCanvas canvas(4, 4, 0);
        EXPECT_EQ(ErrorOf([&] { broken.DrawInRect(canvas, Rect(0, 0, 4, 4)); }),
                  "EInvalidGraphic: Icon image is not valid");
    }
}

// A PNG entry whose header claims 16384 x 16384 pixels is refused before the
// PNG reader would make a raster of that size and the icon a second one.
TEST(IconReader, PngEntryLargerThanTheWorkingMemoryIsRefused) {
    if (!PictureFormats().FindByClassName("TPNGGraphic")) GTEST_SKIP() << "no PNG reader in this build";
    std::string png = ReadFile(std::string(QUILLORA_TESTDATA_DIR) + "/pngsuite/png/basn6a08.png");
    ASSERT_EQ(png.substr(12, 4), "IHDR");
    for (size_t at : {size_t(16), size_t(20)})
        png.replace(at, 4, std::string("\0\0\x40\0", 4));
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17));
    for (int i = 0; i < 4; ++i)
        png[29 + size_t(i)] = char(crc >> (24 - 8 * i));
    TIcoEntry entry;
    entry.Image = png;
    TIcon icon;
    ReadInto(icon, MakeIco({entry}));
    EXPECT_EQ(ErrorOf([&] { icon.HandleNeeded(); }), "EInvalidGraphic: Icon image is not valid");
}

TEST(IconReader, TypeZeroIsTheApplicationIcon) {
    TIcon icon;
    ReadInto(icon, std::string("\0\0\0\0\0\0", 6));
    icon.HandleNeeded();
    ASSERT_NE(icon.Image(), nullptr);
    EXPECT_EQ(icon.Width(), SystemIconSize);
    EXPECT_EQ(icon.Height(), SystemIconSize);
}

TEST(IconReader, PngEntriesGoThroughThePngReader) {
    if (!PictureFormats().FindByClassName("TPNGGraphic")) GTEST_SKIP() << "no PNG reader in this build";
    const std::string png = ReadFile(std::string(QUILLORA_TESTDATA_DIR) + "/pngsuite/png/basn6a08.png");
    TIcoEntry entry;
    entry.Image = png;
    TIcon icon;
    ReadInto(icon, MakeIco({Solid(16, 0xFF00FF00), entry}));
    icon.HandleNeeded();
    EXPECT_EQ(icon.ChosenEntry(), 1);
    ASSERT_EQ(icon.Width(), 32);

    TPicture reference;
    TScratch scratch;
    reference.LoadPictureFile(scratch.Write("ref.png", png));
    auto* raster = dynamic_cast<TBitmap*>(reference.Graphic());
    ASSERT_NE(raster, nullptr);
    for (int y = 0; y < 32; y += 7)
        for (int x = 0; x < 32; x += 5)
            EXPECT_EQ(icon.Image()->Pixel(x, y), raster->Pixel(x, y));
}
