#include "GraphicsTestFiles.h"

#include "graphics/Metafile.h"

using namespace gfxtest;

namespace {

std::string Emf(int32_t frameRight, int32_t frameBottom, int32_t totalDelta = 0) {
    std::string h;
    Le32(h, 1);   // EMR_HEADER
    Le32(h, 108); // record size
    for (int32_t v : {0, 0, 95, 47})
        Le32(h, uint32_t(v));
    for (int32_t v : {0, 0, frameRight, frameBottom})
        Le32(h, uint32_t(v));
    Le32(h, 0x464D4520);
    Le32(h, 0x10000);
    Le32(h, uint32_t(108 + 20 + totalDelta));
    while (h.size() < 108)
        h += '\0';
    std::string eof;
    Le32(eof, 14); // EMR_EOF
    Le32(eof, 20);
    Le32(eof, 0);
    Le32(eof, 16);
    Le32(eof, 20);
    return h + eof;
}

std::string Wmf(int16_t right, int16_t bottom, uint16_t inch, bool badChecksum = false) {
    std::string p;
    Le32(p, 0x9AC6CDD7);
    Le16(p, 0);
    for (int16_t v : {int16_t(0), int16_t(0), right, bottom})
        Le16(p, uint16_t(v));
    Le16(p, inch);
    Le32(p, 0);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= uint16_t(uint8_t(p[i]) | uint8_t(p[i + 1]) << 8);
    Le16(p, badChecksum ? sum ^ 1 : sum);
    std::string meta;
    Le16(meta, 1);
    Le16(meta, 9);
    Le16(meta, 0x300);
    Le32(meta, 12);
    Le16(meta, 0);
    Le32(meta, 3);
    Le16(meta, 0);
    Le32(meta, 3); // the end-of-file record
    Le16(meta, 0);
    return p + meta;
}

std::string Error(TMetafile& metafile, const std::string& bytes) {
    try {
        ReadInto(metafile, bytes);
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no error";
}

} // namespace

TEST(MetafileReader, EnhancedHeaderGivesTheFrameSize) {
    TMetafile emf;
    ReadInto(emf, Emf(2540, 1270) + "trailing bytes are not part of it");
    EXPECT_TRUE(emf.Enhanced());
    EXPECT_EQ(emf.MMWidth(), 2540);
    EXPECT_EQ(emf.MMHeight(), 1270);
    EXPECT_EQ(emf.Width(), 96);
    EXPECT_EQ(emf.Height(), 48);
    EXPECT_EQ(emf.Data().size(), 128u);
    EXPECT_EQ(emf.EmfBounds(), Rect(0, 0, 95, 47));
}

TEST(MetafileReader, PlaceableHeaderGivesTheBoxInUnitsPerInch) {
    TMetafile wmf;
    ReadInto(wmf, Wmf(1000, 500, 1000));
    EXPECT_FALSE(wmf.Enhanced());
    EXPECT_EQ(wmf.MMWidth(), 2540);
    EXPECT_EQ(wmf.MMHeight(), 1270);
    EXPECT_EQ(wmf.WmfBounds(), Rect(0, 0, 1000, 500));
    EXPECT_EQ(wmf.WmfRecordsSize(), 24u);
    // 7 x 2540 / 1000 = 17.78 and 3 x 2540 / 1000 = 7.62: the quotients are cut, toward zero.
    ReadInto(wmf, Wmf(7, 3, 1000));
    EXPECT_EQ(wmf.MMWidth(), 17);
    EXPECT_EQ(wmf.MMHeight(), 7);
    ReadInto(wmf, Wmf(-7, -3, 1000));
    EXPECT_EQ(wmf.MMWidth(), -17);
    EXPECT_EQ(wmf.MMHeight(), -7);
    ReadInto(wmf, Wmf(96, 48, 0)); // 0 units per inch stands for 96
    EXPECT_EQ(wmf.Inch(), 96);
    EXPECT_EQ(wmf.Width(), 96);
    EXPECT_EQ(wmf.Height(), 48);
}

TEST(MetafileReader, FailedTestsAreNotValid) {
    TMetafile metafile;
    ReadInto(metafile, Wmf(50, 100, 100));
    const std::string notValid = "EInvalidGraphic: Metafile is not valid";
    EXPECT_EQ(Error(metafile, Wmf(100, 100, 100, true)), notValid);
    std::string badKey = Wmf(100, 100, 100);
    badKey[0] = 0;
    EXPECT_EQ(Error(metafile, badKey), notValid);
    EXPECT_EQ(Error(metafile, ""), notValid);
    EXPECT_EQ(Error(metafile, Wmf(100, 100, 100).substr(0, 30)), notValid);
    std::string notMeta = Wmf(100, 100, 100);
    notMeta[22] = 7;
    EXPECT_EQ(Error(metafile, notMeta), notValid);
    // Exactly 100 bytes is too short for the enhanced kind, so it is tested as a placeable one.
    EXPECT_EQ(Error(metafile, Emf(10, 10).substr(0, 100)), notValid);
    EXPECT_EQ(Error(metafile, Emf(10, 10, -40)), notValid);
    EXPECT_EQ(Error(metafile, Emf(10, 10, 1000)), "EReadError: Stream read error");
    EXPECT_EQ(metafile.Width(), 48); // the last good one: half an inch
}

TEST(MetafileReader, DrawingGoesThroughTheInstalledPlayer) {
    TMetafile wmf;
    ReadInto(wmf, Wmf(10, 10, 96));
    TCanvas canvas(8, 8, 0xFFFFFFFF);
    wmf.DrawInRect(canvas, Rect(0, 0, 8, 8)); // no player: nothing happens

    TMetafilePlayer previous = MetafilePlayer();
    std::vector<TRect> played;
    SetMetafilePlayer([&](const TMetafile& m, TCanvas& c, const TRect& r) {
        EXPECT_EQ(&m, &wmf);
        c.ScanLine(0)[0] = 0xFF000000;
        played.push_back(r);
    });
    wmf.DrawInRect(canvas, Rect(1, 2, 7, 8));
    TMetafile empty;
    empty.DrawInRect(canvas, Rect(0, 0, 8, 8));
    SetMetafilePlayer(previous);
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0], Rect(1, 2, 7, 8));
    EXPECT_EQ(canvas.ScanLine(0)[0], 0xFF000000u);
}
