#include "GraphicsTestFiles.h"

#include "graphics/Icon.h"
#include "graphics/JPEGImage.h"
#include "graphics/Metafile.h"

#include <random>

using namespace gfxtest;

// Damaged copies of good files, each loaded and drawn: every one must end in
// a clean exception or a picture, never a crash or a stray read (the
// sanitizer build watches the second).

namespace {

using TFactory = std::function<std::unique_ptr<TGraphic>()>;

template <class T> TFactory Make() {
    return [] { return std::unique_ptr<TGraphic>(std::make_unique<T>()); };
}

std::string Damage(const std::string& seed, std::mt19937& rng) {
    std::string m = seed;
    for (int edits = 1 + int(rng() % 4); edits > 0; --edits) {
        switch (rng() % 4) {
        case 0:
            m[rng() % m.size()] = char(rng());
            break;
        case 1:
            m.resize(std::max<size_t>(1, rng() % (m.size() + 1)));
            break;
        case 2:
            m[rng() % m.size()] = char(0xFF);
            break;
        default:
            m.insert(rng() % m.size(), std::string(1 + rng() % 8, char(rng())));
            break;
        }
    }
    return m;
}

std::vector<std::pair<std::string, TFactory>> Seeds(const TScratch& scratch) {
    std::vector<std::pair<std::string, TFactory>> seeds;
    TBmpFile plain;
    plain.Width = 7;
    plain.Height = 5;
    plain.BitCount = 8;
    plain.Palette = {1, 2, 3};
    plain.Pixels = std::string(40, '\x02');
    TBmpFile rle8 = plain;
    rle8.Compression = 1;
    rle8.Pixels = std::string("\x03\x01\x00\x03\x01\x02\x01\x00\x00\x00\x00\x02\x01\x01\x05\x02\x00\x01", 18);
    TBmpFile rle4 = rle8;
    rle4.BitCount = 4;
    rle4.Compression = 2;
    TBmpFile masks;
    masks.Width = masks.Height = 3;
    masks.BitCount = 16;
    masks.Compression = 3;
    masks.Masks = {0xF00, 0xF0, 0xF};
    masks.Pixels = std::string(24, '\x55');
    for (const TBmpFile* layout : {&plain, &rle8, &rle4, &masks})
        seeds.emplace_back(MakeBmp(*layout), Make<TBitmap>());

    TIcoEntry small;
    small.Width = small.Height = 4;
    small.Image = MakeIconDib(
        4, 4, [](int x, int) { return 0x80FF0000u + uint32_t(x); }, [](int x, int) { return x == 1; });
    TIcoEntry large = small;
    large.Width = large.Height = 8;
    large.Image = MakeIconDib(
        8, 8, [](int, int) { return 0u; }, [](int x, int y) { return x == y; });
    seeds.emplace_back(MakeIco({small, large}), Make<TIcon>());

    std::string ppm = "P6\n16 16\n255\n" + std::string(768, '\x40');
    for (size_t i = 0; i < 768; i += 7)
        ppm[13 + i] = char(i);
    std::string source = scratch.Write("seed.ppm", ppm);
    for (const char* options : {"", "-progressive"}) {
        std::string jpg = scratch.Path("seed.jpg");
        RunCommand("cjpeg " + std::string(options) + " -outfile " + Quote(jpg) + " " + Quote(source));
        seeds.emplace_back(ReadFile(jpg), Make<TJPEGImage>());
    }
    return seeds;
}

} // namespace

TEST(MalformedInput, DamagedFilesFailCleanly) {
    TScratch scratch;
    std::mt19937 rng(20261207);
    for (auto& [seed, make] : Seeds(scratch)) {
        ASSERT_GT(seed.size(), 20u);
        for (int i = 0; i < 300; ++i) {
            std::unique_ptr<TGraphic> graphic = make();
            try {
                ReadInto(*graphic, Damage(seed, rng));
                TCanvas canvas(40, 40, 0);
                graphic->DrawInRect(canvas, Rect(-3, -3, 37, 29));
            } catch (const Exception&) {
            }
        }
    }
}
