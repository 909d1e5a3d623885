// Every image of PngSuite through the PNG reader. The broken files (x...)
// must fail with their message; every other one must give the pixels of its
// JSON reference, carried through this reader's rules once, here: 16-bit
// samples cut to 8 bits as v x 255 div 65535, grey and colour samples through
// the gamma table when the file has a gAMA chunk, palette colours as stored,
// alpha kept only for colour-with-alpha images.

#include "graphics/PNGGraphic.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace {

const std::filesystem::path kSuite = std::filesystem::path(QUILLORA_TESTDATA_DIR) / "pngsuite";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The references are flat arrays of integers: [r,g,b,a, r,g,b,a, ...].
std::vector<int> ReadJsonArray(const std::filesystem::path& path) {
    const std::string text = ReadFile(path);
    std::vector<int> values;
    int value = -1;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
        } else if (value >= 0) {
            values.push_back(value);
            value = -1;
        }
    }
    return values;
}

// The gAMA value of a PNG file (0 when it has none), found by a plain chunk walk.
uint32_t GammaChunkValue(const std::string& png) {
    auto be32 = [&](size_t p) {
        return uint32_t(uint8_t(png[p])) << 24 | uint32_t(uint8_t(png[p + 1])) << 16 |
               uint32_t(uint8_t(png[p + 2])) << 8 | uint8_t(png[p + 3]);
    };
    for (size_t p = 8; p + 8 <= png.size();) {
        const uint32_t length = be32(p);
        if (png.compare(p + 4, 4, "gAMA") == 0 && p + 12 <= png.size()) return be32(p + 8);
        p += 12 + size_t(length);
    }
    return 0;
}

const std::map<std::string, std::string> kBrokenFiles = {
    {"xc1n0g08", "Invalid color format in PNG file."},
    {"xc9n2c08", "Invalid color format in PNG file."},
    {"xcrn0g04", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xcsn0g01", "Cannot load image. CRC error found in PNG file."},
    {"xd0n2c08", "Invalid color format in PNG file."},
    {"xd3n2c08", "Invalid color format in PNG file."},
    {"xd9n2c08", "Invalid color format in PNG file."},
    {"xdtn0g01", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xhdn0g08", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xlfn0g04", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xs1n0g01", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xs2n0g01", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xs4n0g01", "Cannot load image. Invalid or unexpected PNG image format."},
    {"xs7n0g01", "Cannot load image. Invalid or unexpected PNG image format."},
};

std::vector<std::string> SuiteNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kSuite / "png"))
        if (entry.path().extension() == ".png") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Compares a decoded picture with its reference; answers the first mismatch, or "".
std::string CompareWithReference(const std::string& name, const TPNGGraphic& picture) {
    // The names say it: ....<colour type><letter><bit depth>.
    const int colorType = name[4] - '0';
    const int bitDepth = std::stoi(name.substr(6, 2));
    const std::vector<int> reference = ReadJsonArray(kSuite / "json" / (name + ".json"));
    const uint32_t gammaValue = GammaChunkValue(ReadFile(kSuite / "png" / (name + ".png")));
    const bool gamma = gammaValue != 0 && colorType != 3;
    const auto table = PngGammaTable(gammaValue / 100000.0);
    const auto to8 = [&](int v) { return bitDepth == 16 ? v * 255 / 65535 : v; };
    const auto colour = [&](int v) { return gamma ? table[size_t(to8(v))] : to8(v); };

    const int w = picture.Width(), h = picture.Height();
    if (reference.size() != size_t(w) * size_t(h) * 4) return "size differs from the reference";
    std::vector<TColor32> row(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
        picture.RowToColor32(y, row.data());
        for (int x = 0; x < w; ++x) {
            const int* ref = &reference[(size_t(y) * size_t(w) + size_t(x)) * 4];
            TColor32 expected =
                MakeColor32(uint8_t(colour(ref[0])), uint8_t(colour(ref[1])), uint8_t(colour(ref[2])),
                            uint8_t(colorType == 6 ? to8(ref[3]) : 255));
            if (row[size_t(x)] != expected) {
                std::ostringstream why;
                why << "pixel (" << x << "," << y << ") is " << std::hex << row[size_t(x)] << ", expected "
                    << expected;
                return why.str();
            }
        }
    }
    return "";
}

TEST(PNGSuite, EveryFileDecodesOrFailsWithItsMessage) {
    const std::vector<std::string> names = SuiteNames();
    ASSERT_GE(names.size(), 170u);
    int decoded = 0, refused = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TPNGGraphic picture;
        if (name[0] == 'x') {
            ASSERT_EQ(kBrokenFiles.count(name), 1u);
            try {
                picture.LoadFile((kSuite / "png" / (name + ".png")).string());
                ADD_FAILURE() << "loaded without error";
            } catch (const EInvalidGraphic& e) {
                EXPECT_EQ(e.Message(), kBrokenFiles.at(name));
                ++refused;
            }
            continue;
        }
        try {
            picture.LoadFile((kSuite / "png" / (name + ".png")).string());
        } catch (const Exception& e) {
            ADD_FAILURE() << e.ClassName() << ": " << e.Message();
            continue;
        }
        EXPECT_EQ(CompareWithReference(name, picture), "");
        ++decoded;
    }
    EXPECT_EQ(refused, int(kBrokenFiles.size()));
    EXPECT_EQ(decoded + refused, int(names.size()));
}

TEST(PNGSuite, RasterFormatsFollowColourTypeAndDepth) {
    const struct {
        const char* name;
        TPixelFormat format;
        bool alpha;
    } cases[] = {
        {"basn0g01", TPixelFormat::pf1bit, false},  {"basn0g02", TPixelFormat::pf4bit, false},
        {"basn0g04", TPixelFormat::pf4bit, false},  {"basn0g16", TPixelFormat::pf8bit, false},
        {"basn2c16", TPixelFormat::pf24bit, false}, {"basn3p02", TPixelFormat::pf4bit, false},
        {"basn3p08", TPixelFormat::pf8bit, false},  {"basn4a16", TPixelFormat::pf8bit, false},
        {"basn6a08", TPixelFormat::pf32bit, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TPNGGraphic picture;
        picture.LoadFile((kSuite / "png" / (std::string(c.name) + ".png")).string());
        EXPECT_EQ(picture.PixelFormat(), c.format);
        EXPECT_EQ(picture.HasAlpha(), c.alpha);
    }
    // 2-bit palette indexes keep their value in the 4-bit raster.
    TPNGGraphic indexed;
    indexed.LoadFile((kSuite / "png" / "basn3p02.png").string());
    EXPECT_LE(indexed.ScanLine(0)[0] >> 4, 3);
}

TEST(PNGSuite, TransparencyIsRecordedButNotApplied) {
    TPNGGraphic indexed;
    indexed.LoadFile((kSuite / "png" / "tbbn3p08.png").string());
    EXPECT_FALSE(indexed.HasTransparentColor());
    EXPECT_LT(*std::min_element(indexed.TransparencyTable().begin(), indexed.TransparencyTable().end()), 255);

    TPNGGraphic grey;
    grey.LoadFile((kSuite / "png" / "tbbn0g04.png").string());
    EXPECT_TRUE(grey.HasTransparentColor());
    EXPECT_TRUE(grey.Transparent());
}

// Rewrites every chunk's CRC so that damage reaches the stages behind the CRC check.
void FixCrcs(std::string& png) {
    for (size_t p = 8; p + 12 <= png.size();) {
        const uint32_t length = uint32_t(uint8_t(png[p])) << 24 | uint32_t(uint8_t(png[p + 1])) << 16 |
                                uint32_t(uint8_t(png[p + 2])) << 8 | uint8_t(png[p + 3]);
        if (length > png.size() - p - 12) return;
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + p + 4), uInt(length + 4));
        for (int i = 0; i < 4; ++i)
            png[p + 8 + length + size_t(i)] = char(crc >> (24 - 8 * i));
        p += 12 + length;
    }
}

TEST(PNGSuite, DamagedFilesFailCleanly) {
    std::vector<std::string> files;
    for (const std::string& name : SuiteNames())
        if (name[0] != 'x') files.push_back(ReadFile(kSuite / "png" / (name + ".png")));
    std::mt19937 random(2026);
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string png = files[random() % files.size()];
        for (unsigned n = random() % 4 + 1; n > 0; --n)
            png[8 + random() % (png.size() - 8)] ^= char(1u << (random() % 8));
        if (random() % 2) FixCrcs(png);
        TStringStream stream(png);
        TPNGGraphic picture;
        try {
            picture.ReadPicture(stream);
        } catch (const Exception&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
}

} // namespace
