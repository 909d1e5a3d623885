#include "graphics/qt/MetafilePlayer.h"
#include "graphics/qt/Image.h"
#include "graphics/Metafile.h"

#include <QApplication>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr TColor32 White = 0xFFFFFFFF, Red = 0xFFFF0000, Green = 0xFF00FF00, Blue = 0xFF0000FF;

void Put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// An enhanced metafile of 100 x 100 reference pixels (10 pixels per mm).
class TEmfBuilder {
  public:
    // A record of 32-bit values.
    TEmfBuilder& Record(uint32_t type, std::initializer_list<int32_t> values) {
        std::vector<uint8_t> body;
        for (int32_t v : values)
            Put32(body, uint32_t(v));
        return Raw(type, body);
    }
    TEmfBuilder& Raw(uint32_t type, const std::vector<uint8_t>& body) {
        Put32(FRecords, type);
        Put32(FRecords, uint32_t(8 + body.size()));
        FRecords.insert(FRecords.end(), body.begin(), body.end());
        ++FCount;
        return *this;
    }
    std::vector<uint8_t> Finish() {
        Record(14, {0, 16, 20}); // EMR_EOF
        std::vector<uint8_t> out;
        Put32(out, 1);
        Put32(out, 100);
        for (int32_t v : {0, 0, 99, 99, 0, 0, 1000, 1000})
            Put32(out, uint32_t(v)); // bounds, frame
        Put32(out, 0x464D4520);
        Put32(out, 0x10000);
        Put32(out, uint32_t(100 + FRecords.size()));
        Put32(out, uint32_t(FCount + 1));
        Put16(out, 8); // handles
        Put16(out, 0);
        for (int i = 0; i < 3; ++i)
            Put32(out, 0); // description, palette
        for (int32_t v : {1000, 1000, 100, 100})
            Put32(out, uint32_t(v)); // device pixels, millimetres
        for (int i = 0; i < 3; ++i)
            Put32(out, 0);
        out.insert(out.end(), FRecords.begin(), FRecords.end());
        return out;
    }

  private:
    std::vector<uint8_t> FRecords;
    int FCount = 0;
};

// COLORREF of an 0xRRGGBB colour.
int32_t ColorRef(uint32_t rgb) {
    return int32_t(((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF));
}

TEmfBuilder& SolidBrush(TEmfBuilder& emf, uint32_t rgb) {
    return emf.Record(39, {1, 0, ColorRef(rgb), 0}).Record(37, {1}).Record(37, {int32_t(0x80000008)});
}

// A placeable Windows metafile: the 22-byte header, the 18-byte header, records of 16-bit words.
class TWmfBuilder {
  public:
    TWmfBuilder& Record(uint16_t function, std::initializer_list<int> words) {
        Put32(FRecords, uint32_t(3 + words.size()));
        Put16(FRecords, function);
        for (int w : words)
            Put16(FRecords, uint16_t(w));
        return *this;
    }
    TWmfBuilder& Raw(uint16_t function, const std::vector<uint8_t>& body) {
        Put32(FRecords, uint32_t(3 + body.size() / 2));
        Put16(FRecords, function);
        FRecords.insert(FRecords.end(), body.begin(), body.end());
        return *this;
    }
    std::vector<uint8_t> Finish(int right = 100, int bottom = 100) {
        Record(0, {});
        std::vector<uint8_t> out;
        Put32(out, 0x9AC6CDD7);
        for (int w : {0, 0, 0, right, bottom, 96, 0, 0})
            Put16(out, uint16_t(w));
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2)
            sum ^= uint16_t(out[i] | (out[i + 1] << 8));
        Put16(out, sum);
        for (int w : {1, 9, 0x300})
            Put16(out, uint16_t(w));
        Put32(out, uint32_t(9 + FRecords.size() / 2));
        Put16(out, 4); // objects
        Put32(out, 64);
        Put16(out, 0);
        out.insert(out.end(), FRecords.begin(), FRecords.end());
        return out;
    }

  private:
    std::vector<uint8_t> FRecords;
};

TWmfBuilder& WmfSolidBrushNoPen(TWmfBuilder& wmf, uint32_t rgb) {
    const int32_t ref = ColorRef(rgb);
    return wmf.Record(0x02FC, {0, ref & 0xFFFF, (ref >> 16) & 0xFFFF, 0})
        .Record(0x012D, {0})
        .Record(0x02FA, {5, 0, 0, 0, 0})
        .Record(0x012D, {1});
}

std::unique_ptr<TMetafile> LoadMetafile(const std::vector<uint8_t>& bytes) {
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(0);
    auto metafile = std::make_unique<TMetafile>();
    metafile->ReadPicture(stream);
    return metafile;
}

// Plays through TMetafile and the installed player, as the picture control does.
TCanvas& Draw(TCanvas& canvas, const std::vector<uint8_t>& bytes, const TRect& rect) {
    InstallMetafilePlayer();
    LoadMetafile(bytes)->DrawInRect(canvas, rect);
    return canvas;
}

TColor32 At(const TCanvas& canvas, int x, int y) {
    return canvas.ScanLine(y)[x];
}

// A 2 x 2, 24-bit bottom-up DIB: red, green on top; blue, white below.
std::vector<uint8_t> QuadrantDibInfo() {
    std::vector<uint8_t> info;
    for (uint32_t v : {40u, 2u, 2u})
        Put32(info, v);
    Put16(info, 1);
    Put16(info, 24);
    for (int i = 0; i < 6; ++i)
        Put32(info, 0);
    return info;
}
std::vector<uint8_t> QuadrantDibBits() {
    // Bottom row first, blue-green-red bytes, rows padded to 4 bytes.
    return {255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0};
}

} // namespace

TEST(MetafilePlayerEmf, FilledRectangleScaledToTheDestination) {
    TEmfBuilder emf;
    SolidBrush(emf, 0xFF0000).Record(43, {25, 25, 75, 75});
    const std::vector<uint8_t> bytes = emf.Finish();

    TCanvas whole(200, 200);
    Draw(whole, bytes, Rect(0, 0, 200, 200));
    EXPECT_EQ(At(whole, 50, 50), Red);
    EXPECT_EQ(At(whole, 100, 100), Red);
    EXPECT_EQ(At(whole, 148, 148), Red);
    EXPECT_EQ(At(whole, 49, 100), White);
    EXPECT_EQ(At(whole, 150, 100), White);
    EXPECT_EQ(At(whole, 20, 20), White);

    TCanvas inset(200, 200);
    Draw(inset, bytes, Rect(50, 50, 150, 150)); // half size, moved
    EXPECT_EQ(At(inset, 76, 76), Red);
    EXPECT_EQ(At(inset, 123, 123), Red);
    EXPECT_EQ(At(inset, 70, 70), White);
    EXPECT_EQ(At(inset, 130, 130), White);
    EXPECT_EQ(At(inset, 10, 10), White);
}

TEST(MetafilePlayerEmf, NothingIsDrawnOutsideTheDestination) {
    TEmfBuilder emf;
    SolidBrush(emf, 0x0000FF).Record(43, {-500, -500, 500, 500});
    TCanvas canvas(100, 100);
    Draw(canvas, emf.Finish(), Rect(20, 20, 60, 60));
    EXPECT_EQ(At(canvas, 20, 20), Blue);
    EXPECT_EQ(At(canvas, 59, 59), Blue);
    EXPECT_EQ(At(canvas, 19, 30), White);
    EXPECT_EQ(At(canvas, 60, 30), White);
}

TEST(MetafilePlayerEmf, PolygonsPathsAndSavedStates) {
    TEmfBuilder emf;
    SolidBrush(emf, 0x00FF00);
    emf.Record(33, {}); // save: green brush
    emf.Record(39, {2, 0, ColorRef(0x0000FF), 0}).Record(37, {2});
    // A 16-bit triangle in the upper left, blue.
    std::vector<uint8_t> triangle;
    for (int32_t v : {0, 0, 50, 50, 3})
        Put32(triangle, uint32_t(v));
    for (int v : {0, 0, 40, 0, 0, 40})
        Put16(triangle, uint16_t(v));
    emf.Raw(86, triangle);
    emf.Record(34, {-1}); // restore: green again
    // A square path in the lower right.
    emf.Record(59, {}).Record(27, {60, 60}).Record(54, {90, 60}).Record(54, {90, 90}).Record(54, {60, 90});
    emf.Record(61, {}).Record(60, {}).Record(62, {0, 0, 100, 100});
    TCanvas canvas(100, 100);
    Draw(canvas, emf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 5, 5), Blue);
    EXPECT_EQ(At(canvas, 35, 35), White); // beyond the diagonal
    EXPECT_EQ(At(canvas, 75, 75), Green);
    EXPECT_EQ(At(canvas, 95, 95), White);
}

TEST(MetafilePlayerEmf, AnisotropicMappingAndEllipse) {
    TEmfBuilder emf;
    SolidBrush(emf, 0xFF0000);
    emf.Record(17, {8});                  // MM_ANISOTROPIC
    emf.Record(9, {1000, 1000});          // window extent
    emf.Record(11, {100, 100});           // viewport extent
    emf.Record(42, {200, 200, 800, 800}); // ellipse: 20..80 pixels
    TCanvas canvas(100, 100);
    Draw(canvas, emf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 50, 50), Red);
    EXPECT_EQ(At(canvas, 50, 22), Red);
    EXPECT_EQ(At(canvas, 22, 22), White); // outside the ellipse, inside its box
    EXPECT_EQ(At(canvas, 50, 15), White);
}

TEST(MetafilePlayerEmf, StretchedDibKeepsItsQuadrants) {
    const std::vector<uint8_t> info = QuadrantDibInfo(), bits = QuadrantDibBits();
    std::vector<uint8_t> body;
    for (int32_t v : {0, 0, 100, 100, /*dest*/ 0, 0, /*src*/ 0, 0, 2, 2})
        Put32(body, uint32_t(v));
    Put32(body, 80);                         // offBmiSrc
    Put32(body, uint32_t(info.size()));      // cbBmiSrc
    Put32(body, uint32_t(80 + info.size())); // offBitsSrc
    Put32(body, uint32_t(bits.size()));      // cbBitsSrc
    Put32(body, 0);                          // DIB_RGB_COLORS
    Put32(body, 0x00CC0020);                 // SRCCOPY
    Put32(body, 100);                        // cxDest
    Put32(body, 100);                        // cyDest
    body.insert(body.end(), info.begin(), info.end());
    body.insert(body.end(), bits.begin(), bits.end());
    TEmfBuilder emf;
    emf.Raw(81, body);
    TCanvas canvas(100, 100, 0xFF000000);
    Draw(canvas, emf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 10, 10), Red);
    EXPECT_EQ(At(canvas, 90, 10), Green);
    EXPECT_EQ(At(canvas, 10, 90), Blue);
    EXPECT_EQ(At(canvas, 90, 90), White);
}

TEST(MetafilePlayerEmf, TextIsDrawnInTheTextColour) {
    TEmfBuilder emf;
    emf.Record(18, {1});                  // transparent background
    emf.Record(24, {ColorRef(0x0000FF)}); // blue text
    std::vector<uint8_t> font;
    for (int32_t v : {3, -40, 0, 0, 0, 700})
        Put32(font, uint32_t(v));
    font.resize(font.size() + 8 + 64, 0);
    emf.Raw(82, font).Record(37, {3});
    std::vector<uint8_t> text;
    for (int32_t v : {0, 0, 100, 100, 1, 0, 0})
        Put32(text, uint32_t(v)); // bounds, mode, scales
    for (int32_t v : {10, 20, 2, 76, 0, 0, 0, 0, 0, 0})
        Put32(text, uint32_t(v));
    Put16(text, 'H');
    Put16(text, 'H');
    emf.Raw(84, text);
    TCanvas canvas(100, 100);
    Draw(canvas, emf.Finish(), Rect(0, 0, 100, 100));
    int inked = 0, stray = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const TColor32 c = At(canvas, x, y);
            if ((c & 0xFF) <= ((c >> 16) & 0xFF) + 40) continue; // white or a faint edge
            (x >= 10 && y >= 20 && y < 20 + 45 ? inked : stray)++;
        }
    EXPECT_GT(inked, 100);
    EXPECT_EQ(stray, 0);
}

TEST(MetafilePlayerWmf, FilledRectangleScaledToTheDestination) {
    TWmfBuilder wmf;
    WmfSolidBrushNoPen(wmf, 0xFF0000).Record(0x041B, {75, 75, 25, 25});
    TCanvas canvas(60, 60);
    Draw(canvas, wmf.Finish(), Rect(0, 0, 50, 50));
    EXPECT_EQ(At(canvas, 14, 14), Red);
    EXPECT_EQ(At(canvas, 25, 25), Red);
    EXPECT_EQ(At(canvas, 35, 35), Red);
    EXPECT_EQ(At(canvas, 10, 10), White);
    EXPECT_EQ(At(canvas, 40, 40), White);
    EXPECT_EQ(At(canvas, 55, 55), White);
}

TEST(MetafilePlayerWmf, WindowRecordsRedefineTheLogicalArea) {
    TWmfBuilder wmf;
    wmf.Record(0x020B, {0, 0}).Record(0x020C, {200, 200}); // window 200 x 200
    WmfSolidBrushNoPen(wmf, 0x00FF00).Record(0x041B, {100, 100, 0, 0});
    TCanvas canvas(100, 100);
    Draw(canvas, wmf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 10, 10), Green);
    EXPECT_EQ(At(canvas, 48, 48), Green);
    EXPECT_EQ(At(canvas, 52, 52), White);
}

TEST(MetafilePlayerWmf, StretchedDibAndPolygon) {
    std::vector<uint8_t> body;
    for (int w : {0x0020, 0x00CC, 0, /*src h, w, y, x*/ 2, 2, 0, 0, /*dest h, w, y, x*/ 50, 50, 0, 0})
        Put16(body, uint16_t(w));
    const std::vector<uint8_t> info = QuadrantDibInfo(), bits = QuadrantDibBits();
    body.insert(body.end(), info.begin(), info.end());
    body.insert(body.end(), bits.begin(), bits.end());
    TWmfBuilder wmf;
    wmf.Raw(0x0F43, body);
    WmfSolidBrushNoPen(wmf, 0x0000FF).Record(0x0324, {3, 60, 60, 99, 60, 60, 99});
    TCanvas canvas(100, 100);
    Draw(canvas, wmf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 5, 5), Red);
    EXPECT_EQ(At(canvas, 45, 5), Green);
    EXPECT_EQ(At(canvas, 5, 45), Blue);
    EXPECT_EQ(At(canvas, 45, 45), White);
    EXPECT_EQ(At(canvas, 65, 65), Blue);
    EXPECT_EQ(At(canvas, 95, 95), White);
}

TEST(MetafilePlayerWmf, GbkTextCentredOnItsBaseline) {
    TWmfBuilder wmf;
    std::vector<uint8_t> font;
    for (int w : {-40, 0, 0, 0, 400, 0, 0x8600, 0, 0})
        Put16(font, uint16_t(w));
    std::string face = "WenQuanYi Micro Hei";
    face.resize(32, '\0');
    font.insert(font.end(), face.begin(), face.end());
    wmf.Raw(0x02FB, font).Record(0x012D, {0});
    wmf.Record(0x0102, {1}).Record(0x0209, {0x0000, 0x00FF}).Record(0x012E, {6 | 24});
    wmf.Record(0x0521, {2, 0xD0D6, 60, 50}); // "中" in GBK at (50, 60)
    TCanvas canvas(100, 100);
    Draw(canvas, wmf.Finish(), Rect(0, 0, 100, 100));
    int left = 100, right = -1, top = 100, bottom = -1;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const TColor32 c = At(canvas, x, y);
            if ((c & 0xFF) <= ((c >> 16) & 0xFF) + 80) continue; // white or a faint edge
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
        }
    ASSERT_GE(right, 0) << "no text drawn";
    EXPECT_NEAR((left + right) / 2.0, 50, 3);
    EXPECT_GT(right - left, 20);
    EXPECT_LE(bottom, 64);
    EXPECT_GE(top, 18);
}

TEST(MetafilePlayerWmf, ObjectIndexesOutOfRangeChangeNothing) {
    TWmfBuilder wmf;
    WmfSolidBrushNoPen(wmf, 0xFF0000);
    wmf.Record(0x012D, {3});      // empty slot
    wmf.Record(0x012D, {0x7FFF}); // past the table
    wmf.Record(0x01F0, {0x7FFF});
    wmf.Record(0x0127, {-5}); // nothing saved
    wmf.Record(0x041B, {75, 75, 25, 25});
    TCanvas canvas(100, 100);
    Draw(canvas, wmf.Finish(), Rect(0, 0, 100, 100));
    EXPECT_EQ(At(canvas, 50, 50), Red);
}

TEST(MetafilePlayerHostile, TruncatedAndCorruptedFilesNeverReadOutside) {
    TEmfBuilder emf;
    SolidBrush(emf, 0xFF0000).Record(43, {25, 25, 75, 75}).Record(42, {0, 0, 50, 50});
    emf.Record(7, {0, 0, 10, 10, 2, 5, 3, 2, 0, 0, 10, 10, 0, 10, 0, 0, 5, 5}); // polypolyline
    std::vector<uint8_t> text;
    for (int32_t v : {0, 0, 100, 100, 1, 0, 0, 10, 20, 3, 76, 0, 0, 0, 0, 0, 0})
        Put32(text, uint32_t(v));
    for (int c : {'a', 'b', 'c', '\0'})
        Put16(text, uint16_t(c));
    emf.Raw(84, text);
    const std::vector<uint8_t> goodEmf = emf.Finish();
    TWmfBuilder wmf;
    WmfSolidBrushNoPen(wmf, 0xFF0000).Record(0x041B, {75, 75, 25, 25}).Record(0x0324, {3, 0, 0, 9, 0, 0, 9});
    wmf.Record(0x0521, {3, 'a' | ('b' << 8), 'c', 10, 10});
    const std::vector<uint8_t> goodWmf = wmf.Finish();
    const TRect bounds = Rect(0, 0, 100, 100);

    TCanvas canvas(64, 64);
    // Every cut of the records, then random damage to each byte region.
    for (size_t cut = 100; cut <= goodEmf.size(); cut += 4) {
        std::vector<uint8_t> part(goodEmf.begin(), goodEmf.begin() + long(cut));
        PlayEnhancedMetafile(part.data(), part.size(), canvas, Rect(0, 0, 64, 64));
    }
    for (size_t cut = 18; cut <= goodWmf.size() - 22; cut += 2) {
        std::vector<uint8_t> part(goodWmf.begin() + 22, goodWmf.begin() + 22 + long(cut));
        PlayWindowsMetafile(part.data(), part.size(), bounds, canvas, Rect(0, 0, 64, 64));
    }
    std::mt19937 random(20261207);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> emfCopy = goodEmf, wmfCopy(goodWmf.begin() + 22, goodWmf.end());
        for (int i = 0; i < 4; ++i) {
            emfCopy[100 + random() % (emfCopy.size() - 100)] = uint8_t(random());
            wmfCopy[random() % wmfCopy.size()] = uint8_t(random());
        }
        PlayEnhancedMetafile(emfCopy.data(), emfCopy.size(), canvas, Rect(0, 0, 64, 64));
        PlayWindowsMetafile(wmfCopy.data(), wmfCopy.size(), bounds, canvas, Rect(0, 0, 64, 64));
    }
    SUCCEED();
}

// Playing one picture has a budget: a file whose records would decode huge
// bitmaps or paint the whole destination over and over has its first records
// played and the rest skipped, the last one (a red right half) among them.
TEST(MetafilePlayerHostile, CostlyRecordsSpendTheBudgetAndTheRestAreSkipped) {
    // A DIB header claiming 4096 x 4096 pixels at one bit, with no bits at all.
    std::vector<uint8_t> huge;
    for (uint32_t v : {40u, 4096u, 4096u})
        Put32(huge, v);
    Put16(huge, 1);
    Put16(huge, 1);
    for (int i = 0; i < 6; ++i)
        Put32(huge, 0);
    std::vector<uint8_t> stretch;
    for (int32_t v :
         {0, 0, 100, 100, 0, 0, 0, 0, 4096, 4096, 80, int32_t(huge.size()), 0, 0, 0, 0x00CC0020, 100, 100})
        Put32(stretch, uint32_t(v));
    stretch.insert(stretch.end(), huge.begin(), huge.end());
    const struct {
        const char* Name;
        std::function<void(TEmfBuilder&)> Costly;
    } cases[] = {
        {"bitmaps of 2^24 pixels",
         [&](TEmfBuilder& emf) {
             for (int i = 0; i < 20; ++i)
                 emf.Raw(81, stretch);
         }},
        {"the whole destination filled",
         [](TEmfBuilder& emf) {
             for (int i = 0; i < 20000; ++i)
                 emf.Record(43, {0, 0, 100, 100});
         }},
    };
    for (const auto& c : cases) {
        TEmfBuilder emf;
        SolidBrush(emf, 0x00FF00).Record(43, {0, 0, 50, 100});
        SolidBrush(emf, 0x0000FF);
        c.Costly(emf);
        SolidBrush(emf, 0xFF0000).Record(43, {50, 0, 100, 100});
        TCanvas canvas(400, 400, White);
        Draw(canvas, emf.Finish(), Rect(0, 0, 400, 400));
        EXPECT_NE(At(canvas, 100, 200), White) << c.Name; // green, or blue under the filled rectangles
        EXPECT_NE(At(canvas, 300, 200), Red) << c.Name;
    }
}

TEST(MetafilePlayerImage, PictureControlPlaysALoadedMetafile) {
    TEmfBuilder emf;
    SolidBrush(emf, 0xFF0000).Record(43, {0, 0, 100, 100});
    InstallMetafilePlayer();
    TImage image;
    image.resize(50, 50);
    image.SetStretch(true);
    image.Picture().SetGraphic(LoadMetafile(emf.Finish()));
    const QImage painted = image.PaintImage();
    EXPECT_EQ(painted.pixel(1, 1), 0xFFFF0000u);
    EXPECT_EQ(painted.pixel(47, 47), 0xFFFF0000u);
}
