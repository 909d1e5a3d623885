// Drawing PNG pictures into a canvas, and the png entry of the picture registry.

#include "PNGTestFiles.h"

#include "graphics/Icon.h"
#include "graphics/Picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace pngtest;

namespace {

// A w x 1 colour-with-alpha picture of the given (r, g, b, a) pixels.
std::unique_ptr<TPNGGraphic> AlphaRow(const std::vector<std::array<uint8_t, 4>>& pixels) {
    std::string row(1, '\0');
    for (const auto& p : pixels)
        row += std::string(p.begin(), p.end());
    return Decode(kSignature + Ihdr(uint32_t(pixels.size()), 1, 8, 6) + Idat(row) + Iend());
}

TEST(PNGDraw, AlphaIsMixedOverTheDestination) {
    auto picture = AlphaRow({{255, 255, 255, 0}, {255, 255, 255, 255}, {0, 0, 0, 255}, {200, 100, 0, 128}});
    TCanvas canvas(4, 1, 0);
    canvas.ScanLine(0)[2] = MakeColor32(255, 255, 255, 0x40);
    canvas.ScanLine(0)[3] = MakeColor32(100, 100, 100);
    picture->DrawInRect(canvas, Rect(0, 0, 4, 1));
    const TColor32* out = canvas.ScanLine(0);
    EXPECT_EQ(out[0], 0u);                            // alpha 0 leaves the destination
    EXPECT_EQ(out[1], MakeColor32(254, 254, 254, 0)); // 255 over 0 gives 254
    EXPECT_EQ(out[2], MakeColor32(0, 0, 0, 0x40));    // the destination keeps its own alpha
    EXPECT_EQ(out[3], MakeColor32(150, 100, 50));     // (d x 128 + s x 128) div 256
}

TEST(PNGDraw, ScaledFirstWhenTheRectangleDiffers) {
    auto picture = AlphaRow({{255, 0, 0, 255}, {0, 0, 255, 255}});
    TCanvas canvas(6, 3, MakeColor32(0, 0, 0));
    picture->DrawInRect(canvas, Rect(1, 1, 5, 3));
    const TColor32 red = MakeColor32(254, 0, 0), blue = MakeColor32(0, 0, 254), black = MakeColor32(0, 0, 0);
    for (int y = 0; y < 3; ++y) {
        const TColor32* row = canvas.ScanLine(y);
        if (y == 0) {
            EXPECT_EQ(row[1], black);
            continue;
        }
        EXPECT_EQ(std::vector<TColor32>(row, row + 6),
                  (std::vector<TColor32>{black, red, red, blue, blue, black}));
    }
}

TEST(PNGDraw, ClippedToTheCanvas) {
    auto picture = AlphaRow({{255, 255, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}});
    TCanvas canvas(2, 2, MakeColor32(0, 0, 0));
    picture->DrawInRect(canvas, Rect(-2, -5, 4, 7));
    picture->DrawInRect(canvas, Rect(5, 5, 9, 9));
    picture->DrawInRect(canvas, Rect(0, 0, 0, 0));
    EXPECT_EQ(canvas.ScanLine(1)[1], MakeColor32(254, 254, 254));
}

TEST(PNGDraw, WidePicturesAndHugeRectanglesScaleIn64Bits) {
    // 16 M pixels wide: a column times the width no longer fits an int.
    const int width = 1 << 24;
    TPNGGraphic picture;
    picture.SetPixelFormat(TPixelFormat::pf32bit);
    picture.SetHasAlpha(true);
    picture.SetSize(width, 1);
    const auto column = [&](int64_t x, int64_t left, int64_t span) {
        return size_t((x - left) * width / span);
    };
    for (int x = 0; x < 140; ++x)
        std::memcpy(picture.ScanLine(0) + 4 * column(x, 0, 140), "\x01\x02\x03\xff", 4);
    TCanvas canvas(140, 1, MakeColor32(0, 0, 0));
    picture.DrawInRect(canvas, Rect(0, 0, 140, 1));
    for (int x = 0; x < 140; ++x)
        ASSERT_EQ(canvas.ScanLine(0)[x], MakeColor32(2, 1, 0)) << x;

    // A rectangle wider than an int can count: canvas column 0 shows the picture's middle.
    const int64_t left = -2147483647, right = 2147483647;
    std::memcpy(picture.ScanLine(0) + 4 * column(0, left, right - left), "\x10\x20\x30\xff", 4);
    TCanvas wide(1, 1, MakeColor32(0, 0, 0));
    picture.DrawInRect(wide, Rect(int(left), 0, int(right), 1));
    EXPECT_EQ(wide.ScanLine(0)[0], MakeColor32(0x2f, 0x1f, 0x0f));
}

TEST(PNGDraw, PicturesWithoutAlphaAreCopied) {
    auto picture = Decode(kSignature + Ihdr(1, 1, 8, 2) + Idat(std::string("\0\x10\x20\x30", 4)) + Iend());
    TCanvas canvas(2, 1, MakeColor32(9, 9, 9, 0));
    picture->DrawInRect(canvas, Rect(0, 0, 2, 1));
    EXPECT_EQ(canvas.ScanLine(0)[1], MakeColor32(0x10, 0x20, 0x30));
}

TEST(PNGRegistry, PngFilesLoadThroughThePicture) {
    const TGraphicClass* png = PictureFormats().FindByExtension("png");
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(png->Name, "TPNGGraphic");
    bool described = false;
    for (int i = 0; i < PictureFormats().Count(); ++i)
        described |= PictureFormats()[i].Extension == "png" &&
                     PictureFormats()[i].Description == "Portable network graphics";
    EXPECT_TRUE(described);

    const std::filesystem::path suite = std::filesystem::path(QUILLORA_TESTDATA_DIR) / "pngsuite" / "png";
    TPicture picture;
    picture.LoadPictureFile((suite / "basn6a08.png").string());
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_STREQ(picture.Graphic()->ClassName(), "TPNGGraphic");
    TGraphic* before = picture.Graphic();
    EXPECT_THROW(picture.LoadPictureFile((suite / "xcsn0g01.png").string()), EInvalidGraphic);
    EXPECT_EQ(picture.Graphic(), before);
}

TEST(PNGRegistry, IconsWithPngEntriesAreReadByThePngReader) {
    const std::string png =
        kSignature + Ihdr(2, 1, 8, 6) + Idat(std::string("\0\x10\x20\x30\xff\x40\x50\x60\x00", 9)) + Iend();
    std::string ico = std::string("\0\0\1\0\1\0", 6);
    ico += std::string{2, 1, 0, 0, 1, 0, 32, 0};
    const uint32_t size = uint32_t(png.size()), offset = 22;
    for (uint32_t v : {size, offset})
        ico += std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    ico += png;
    TStringStream stream(ico);
    TIcon icon;
    icon.ReadPicture(stream);
    icon.HandleNeeded();
    ASSERT_NE(icon.Image(), nullptr);
    EXPECT_EQ(icon.Image()->Pixel(0, 0), MakeColor32(0x10, 0x20, 0x30, 0xff));
    EXPECT_EQ(icon.Image()->Pixel(1, 0), MakeColor32(0x40, 0x50, 0x60, 0));
}

} // namespace
