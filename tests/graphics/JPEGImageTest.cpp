#include "GraphicsTestFiles.h"

#include "graphics/JPEGImage.h"
#include "graphics/Picture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>

#include <jpeglib.h>
// After jpeglib.h: the message codes the user sees in "JPEG error #%d".
#include <jerror.h>

static_assert(JERR_NO_SOI == 53 && JERR_INPUT_EMPTY == 42 && JERR_IMAGE_TOO_BIG == 41,
              "the installed libjpeg numbers its messages differently");

using namespace gfxtest;

namespace {

// A picture with gradients, edges and colour, written as PPM and compressed by cjpeg.
class JPEGFiles : public ::testing::Test {
  protected:
    std::string MakeJpeg(const std::string& name, int w, int h, const std::string& cjpegOptions = "") {
        std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ppm += char((x * 255) / std::max(w - 1, 1));
                ppm += char(((x / 8 + y / 8) % 2) * 200);
                ppm += char((y * 255) / std::max(h - 1, 1));
            }
        std::string ppmPath = Scratch.Write(name + ".ppm", ppm);
        std::string jpg = Scratch.Path(name);
        EXPECT_EQ(RunCommand("cjpeg -quality 85 " + cjpegOptions + " -outfile " + Quote(jpg) + " " +
                             Quote(ppmPath)),
                  0);
        return jpg;
    }

    // djpeg's raster of the file as RGB bytes (a grey PGM is widened to RGB).
    std::string Djpeg(const std::string& jpg, const std::string& options, int& w, int& h) {
        std::string out = Scratch.Path("djpeg.pnm");
        RunCommand("djpeg " + options + " -pnm -outfile " + Quote(out) + " " + Quote(jpg) + " 2>/dev/null");
        std::string pnm = ReadFile(out);
        std::istringstream header(pnm);
        std::string magic;
        int maxval = 0;
        header >> magic >> w >> h >> maxval;
        std::string pixels = pnm.substr(size_t(header.tellg()) + 1);
        if (magic == "P6") return pixels;
        std::string rgb;
        for (char g : pixels)
            rgb += std::string(3, g);
        return rgb;
    }

    static std::string RasterRgb(const TBitmap& raster) {
        std::string rgb;
        std::vector<TColor32> row(size_t(raster.Width()));
        for (int y = 0; y < raster.Height(); ++y) {
            raster.RowToColor32(y, row.data());
            for (TColor32 c : row)
                rgb += {char(c >> 16), char(c >> 8), char(c)};
        }
        return rgb;
    }

    void ExpectSameAsDjpeg(TJPEGImage& jpeg, const std::string& file, const std::string& options) {
        jpeg.LoadFile(file);
        jpeg.DIBNeeded();
        int w = 0, h = 0;
        std::string reference = Djpeg(file, options, w, h);
        ASSERT_EQ(jpeg.DecodedRaster()->Width(), w);
        ASSERT_EQ(jpeg.DecodedRaster()->Height(), h);
        // Same library, same settings: the very same pixels.
        EXPECT_TRUE(RasterRgb(*jpeg.DecodedRaster()) == reference);
    }

    TScratch Scratch;
};

} // namespace

TEST_F(JPEGFiles, DecodesExactlyAsDjpeg) {
    std::string baseline = MakeJpeg("photo.jpg", 97, 61);
    std::string progressive = MakeJpeg("progressive.jpg", 97, 61, "-progressive");
    std::string gray = MakeJpeg("gray.jpg", 40, 30, "-grayscale");
    {
        TJPEGImage jpeg;
        ExpectSameAsDjpeg(jpeg, baseline, "");
        EXPECT_EQ(jpeg.DecodedRaster()->PixelFormat(), TPixelFormat::pf24bit);
    }
    {
        TJPEGImage jpeg;
        ExpectSameAsDjpeg(jpeg, progressive, "");
        EXPECT_TRUE(jpeg.ProgressiveEncoding());
    }
    {
        TJPEGImage jpeg;
        jpeg.Settings.ProgressiveDisplay = true;
        ExpectSameAsDjpeg(jpeg, progressive, "");
    }
    {
        TJPEGImage jpeg;
        jpeg.Settings.Scale = TJPEGScale::jsHalf;
        ExpectSameAsDjpeg(jpeg, baseline, "-scale 1/2");
    }
    {
        TJPEGImage jpeg;
        jpeg.Settings.Performance = TJPEGPerformance::jpBestSpeed;
        ExpectSameAsDjpeg(jpeg, baseline, "-dct fast");
    }
    {
        // Grey output goes through the 236-colour quantiser, with a grey palette.
        TJPEGImage jpeg;
        ExpectSameAsDjpeg(jpeg, gray, "-colors 236");
        EXPECT_EQ(jpeg.DecodedRaster()->PixelFormat(), TPixelFormat::pf8bit);
        EXPECT_TRUE(jpeg.Data()->Grayscale);
    }
}

TEST_F(JPEGFiles, HeaderAtLoadDecodingAtFirstNeedOnly) {
    std::string file = MakeJpeg("photo.jpg", 33, 17);
    TJPEGImage jpeg;
    jpeg.LoadFile(file);
    EXPECT_EQ(jpeg.Width(), 33);
    EXPECT_EQ(jpeg.Height(), 17);
    EXPECT_FALSE(jpeg.Empty());
    EXPECT_EQ(jpeg.DecodedRaster(), nullptr);
    jpeg.Settings.Scale = TJPEGScale::jsQuarter;
    EXPECT_EQ(jpeg.Width(), 9); // libjpeg rounds scaled sizes up
    EXPECT_EQ(jpeg.Height(), 5);

    TCanvas canvas(9, 5, 0);
    jpeg.DrawInRect(canvas, Rect(0, 0, 9, 5));
    const TBitmap* raster = jpeg.DecodedRaster();
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(raster->Width(), 9);
    jpeg.DrawInRect(canvas, Rect(0, 0, 9, 5));
    EXPECT_EQ(jpeg.DecodedRaster(), raster); // decoded once
    EXPECT_EQ(canvas.ScanLine(4)[8] >> 24, 0xFFu);

    jpeg.LoadFile(file); // a new load drops the raster
    EXPECT_EQ(jpeg.DecodedRaster(), nullptr);
}

TEST_F(JPEGFiles, NotAJpegFailsAtLoadWithCode53) {
    std::string html = Scratch.Write("page.jpg", "<html><body>404 Not Found</body></html>\n");
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.LoadFile(html); }), "EJPEG: JPEG error #53");
    EXPECT_EQ(ErrorOf([&] { ReadInto(jpeg, "\xFF"); }), "EJPEG: JPEG error #53");
}

TEST_F(JPEGFiles, EmptyFileFailsOnceAtFirstDrawingWithCode42) {
    std::string empty = Scratch.Write("empty.jpg", "");
    TPicture picture;
    picture.LoadPictureFile(empty);
    auto* jpeg = dynamic_cast<TJPEGImage*>(picture.Graphic());
    ASSERT_NE(jpeg, nullptr);
    EXPECT_FALSE(jpeg->Empty());
    EXPECT_EQ(jpeg->Width(), 0);
    EXPECT_EQ(jpeg->Height(), 0);
    TCanvas canvas(4, 4, 0xFF808080);
    EXPECT_EQ(ErrorOf([&] { jpeg->DrawInRect(canvas, Rect(0, 0, 4, 4)); }), "EJPEG: JPEG error #42");
    EXPECT_EQ(ErrorOf([&] { jpeg->DrawInRect(canvas, Rect(0, 0, 4, 4)); }), "no error");
    EXPECT_EQ(canvas.ScanLine(1)[1], 0xFF808080u);
}

TEST_F(JPEGFiles, TruncatedFileDrawsWhatArrived) {
    std::string whole = ReadFile(MakeJpeg("photo.jpg", 64, 64));
    for (size_t keep : {whole.size() / 2, whole.size() - 2, size_t(700)}) {
        SCOPED_TRACE(keep);
        std::string cut = Scratch.Write("cut.jpg", whole.substr(0, keep));
        TJPEGImage jpeg;
        ExpectSameAsDjpeg(jpeg, cut, "");
    }
    // Cut inside the header: that is an error at load, not a crash.
    std::string headerOnly = Scratch.Write("head.jpg", whole.substr(0, 30));
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.LoadFile(headerOnly); }).rfind("EJPEG: JPEG error #", 0), 0u);
}

TEST_F(JPEGFiles, SizeCannotBeSetAndStoredDataLoads) {
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.SetWidth(10); }),
              "EInvalidGraphicOperation: Cannot change the size of a JPEG image");
    EXPECT_EQ(ErrorOf([&] { jpeg.SetHeight(10); }),
              "EInvalidGraphicOperation: Cannot change the size of a JPEG image");

    std::string file = ReadFile(MakeJpeg("photo.jpg", 20, 10));
    std::string stored = std::string(1, char(10)) + "TJPEGImage";
    Le32(stored, uint32_t(file.size()));
    TStringStream stream(stored + file);
    TPicture picture;
    picture.ReadStoredData(stream);
    ASSERT_NE(dynamic_cast<TJPEGImage*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 20);
    EXPECT_EQ(picture.Height(), 10);
}

TEST_F(JPEGFiles, ProgressReportsAndCancelsQuietly) {
    std::string file = MakeJpeg("photo.jpg", 16, 16);
    TJPEGImage jpeg;
    std::vector<std::pair<TProgressStage, int>> seen;
    jpeg.OnProgress = [&](TGraphic&, TProgressStage stage, int percent) {
        seen.emplace_back(stage, percent);
    };
    jpeg.LoadFile(file);
    jpeg.DIBNeeded();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front().first, TProgressStage::psStarting);
    EXPECT_EQ(seen.back(), std::make_pair(TProgressStage::psEnding, 100));

    TJPEGImage cancelled;
    cancelled.OnProgress = [](TGraphic&, TProgressStage, int) { throw EAbort("cancel"); };
    cancelled.LoadFile(file);
    EXPECT_EQ(ErrorOf([&] { cancelled.DIBNeeded(); }), "no error");
}

namespace {

// A four-component JPEG as Adobe's programs write it: inks stored inverted,
// with the Adobe marker (libjpeg writes it for CMYK and YCCK).
std::string FourComponentJpeg(J_COLOR_SPACE stored, const std::vector<std::array<uint8_t, 4>>& pixels) {
    jpeg_compress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(pixels.size());
    info.image_height = 1;
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, stored);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row;
    for (const auto& p : pixels)
        row.insert(row.end(), p.begin(), p.end());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
    jpeg_finish_compress(&info);
    std::string out(reinterpret_cast<char*>(buffer), size);
    jpeg_destroy_compress(&info);
    free(buffer);
    return out;
}

} // namespace

TEST(JPEGColour, CmykAndYcckBecomeRgb) {
    // Inverted inks: 255 means no ink. Red, green, blue, white, black; 8 pixels of each.
    std::vector<std::array<uint8_t, 4>> pixels;
    const std::array<uint8_t, 4> inks[] = {
        {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 0}};
    for (const auto& ink : inks)
        pixels.insert(pixels.end(), 8, ink);
    const TColor32 want[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0xFF000000};
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        SCOPED_TRACE(int(stored));
        TJPEGImage jpeg;
        ReadInto(jpeg, FourComponentJpeg(stored, pixels));
        jpeg.DIBNeeded();
        const TBitmap* raster = jpeg.DecodedRaster();
        ASSERT_EQ(raster->PixelFormat(), TPixelFormat::pf24bit);
        for (int i = 0; i < 5; ++i) {
            TColor32 got = raster->Pixel(8 * i + 4, 0);
            for (int shift : {0, 8, 16})
                EXPECT_NEAR(int((got >> shift) & 255), int((want[i] >> shift) & 255), 6) << i;
        }
    }
}

TEST_F(JPEGFiles, RasterTooLargeToHoldFailsAtLoad) {
    std::string bytes = ReadFile(MakeJpeg("photo.jpg", 16, 16));
    // The frame header (FF C0): length, precision, then height and width.
    size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (size_t i : {sof + 5, sof + 7}) {
        bytes[i] = char(0xFD);
        bytes[i + 1] = char(0xE8); // 65000
    }
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { ReadInto(jpeg, bytes); }), "EJPEG: JPEG error #41"); // JERR_IMAGE_TOO_BIG
    EXPECT_TRUE(jpeg.Empty());
}

namespace {

// A progressive file whose frame claims width x height and whose last scan
// is repeated until it has the given number of scans.
std::string Reframed(std::string bytes, int width, int height, int scans) {
    const size_t sof = bytes.find("\xFF\xC2");
    const size_t lastScan = bytes.rfind("\xFF\xDA");
    if (sof == std::string::npos || lastScan == std::string::npos) return "";
    const std::string scan = bytes.substr(lastScan, bytes.size() - 2 - lastScan);
    // Stuffed entropy data never holds FF DA: every one is a scan.
    int present = 0;
    for (size_t at = bytes.find("\xFF\xDA"); at != std::string::npos; at = bytes.find("\xFF\xDA", at + 2))
        ++present;
    for (int i = present; i < scans; ++i)
        bytes.insert(bytes.size() - 2, scan);
    bytes[sof + 5] = char(height >> 8), bytes[sof + 6] = char(height);
    bytes[sof + 7] = char(width >> 8), bytes[sof + 8] = char(width);
    return bytes;
}

} // namespace

// Files that make libjpeg work or allocate without end fail at the first
// drawing, quickly, with the library's message code.
TEST_F(JPEGFiles, ExcessiveScansAndMemoryFailAtFirstDrawing) {
    const std::string progressive = ReadFile(MakeJpeg("progressive.jpg", 16, 16, "-progressive"));
    const std::string badProgression = "EJPEG: JPEG error #" + std::to_string(JERR_BAD_PROGRESSION);
    const struct {
        int Width, Height, Scans;
        std::string Error;
    } cases[] = {
        {16, 16, 20, "no error"},
        {16, 16, 300, badProgression},     // too many scans
        {4096, 4096, 200, badProgression}, // too many blocks visited
        {16384, 16384, 12,
         "EJPEG: JPEG error #" + std::to_string(JERR_NO_BACKING_STORE)}, // 800 MB of coefficients
    };
    for (const auto& c : cases) {
        TJPEGImage jpeg;
        ReadInto(jpeg, Reframed(progressive, c.Width, c.Height, c.Scans));
        EXPECT_EQ(jpeg.Width(), c.Width);
        EXPECT_EQ(ErrorOf([&] { jpeg.DIBNeeded(); }), c.Error)
            << c.Width << " x " << c.Height << ", " << c.Scans;
    }
}

namespace {

// Keeps every row a sink is given, one after another.
struct TRowsKept : TJPEGRowSink {
    int Width = -1;
    int Height = -1;
    std::string Bytes;
    void Start(int width, int height) override {
        Width = width;
        Height = height;
    }
    uint8_t* NextRow() override {
        Bytes.resize(Bytes.size() + size_t(Width) * 4, '\x5A');
        return reinterpret_cast<uint8_t*>(Bytes.data() + Bytes.size() - size_t(Width) * 4);
    }
};

// The kept raster as red, green, blue, alpha bytes.
std::string RasterRgba(const TBitmap& raster) {
    std::string rgba;
    std::vector<TColor32> row(size_t(raster.Width()));
    for (int y = 0; y < raster.Height(); ++y) {
        raster.RowToColor32(y, row.data());
        for (TColor32 c : row)
            rgba += {char(c >> 16), char(c >> 8), char(c), char(c >> 24)};
    }
    return rgba;
}

// The end of the file moved behind a second frame header: libjpeg fails
// only when it finishes, after every row has gone out.
std::string WithSecondFrameHeader(const std::string& bytes) {
    const size_t sof = bytes.find("\xFF\xC0");
    const size_t length = size_t(uint8_t(bytes[sof + 2])) << 8 | uint8_t(bytes[sof + 3]);
    return bytes.substr(0, bytes.size() - 2) + bytes.substr(sof, 2 + length) + "\xFF\xD9";
}

} // namespace

// Rows decoded straight into a sink are the raster's pixels exactly, for
// every kind of file and setting that decodes to full colour.
TEST_F(JPEGFiles, RowsIntoASinkAreTheRasterPixels) {
    const struct {
        std::string Name;
        int Width, Height;
        std::string Cjpeg;
    } files[] = {
        {"baseline.jpg", 97, 61, ""},
        {"progressive.jpg", 97, 61, "-progressive"},
        {"h1v1.jpg", 33, 17, "-sample 1x1"},
        {"h2v1.jpg", 33, 17, "-sample 2x1"},
        {"h1v2.jpg", 33, 17, "-sample 1x2"},
        {"restart-rows.jpg", 50, 40, "-restart 1"},
        {"restart-blocks.jpg", 50, 40, "-restart 3B"},
        {"arithmetic.jpg", 41, 23, "-arithmetic"},
        {"optimized.jpg", 41, 23, "-optimize -progressive -restart 2"},
        {"one-pixel.jpg", 1, 1, ""},
        {"odd.jpg", 17, 9, "-quality 100"},
    };
    std::vector<std::pair<std::string, std::string>> cases; // name, bytes
    for (const auto& f : files) {
        const std::string bytes = ReadFile(MakeJpeg(f.Name, f.Width, f.Height, f.Cjpeg));
        cases.emplace_back(f.Name, bytes);
        if (f.Width > 40) {
            cases.emplace_back(f.Name + " cut in half", bytes.substr(0, bytes.size() / 2));
            cases.emplace_back(f.Name + " cut at 700", bytes.substr(0, 700));
        }
    }
    const std::function<void(TJPEGDefaults&)> settings[] = {
        [](TJPEGDefaults&) {},
        [](TJPEGDefaults& s) { s.Scale = TJPEGScale::jsHalf; },
        [](TJPEGDefaults& s) { s.Scale = TJPEGScale::jsQuarter; },
        [](TJPEGDefaults& s) { s.Scale = TJPEGScale::jsEighth; },
        [](TJPEGDefaults& s) { s.Performance = TJPEGPerformance::jpBestSpeed; },
        [](TJPEGDefaults& s) { s.ProgressiveDisplay = true; },
        [](TJPEGDefaults& s) { s.Smoothing = false; },
    };
    for (const auto& [name, bytes] : cases)
        for (size_t i = 0; i < std::size(settings); ++i) {
            SCOPED_TRACE(name + ", settings " + std::to_string(i));
            TJPEGImage streamed, kept;
            settings[i](streamed.Settings);
            settings[i](kept.Settings);
            // A cut inside the header fails at load, before any decoding.
            if (ErrorOf([&] { ReadInto(kept, bytes); }) != "no error") continue;
            ReadInto(streamed, bytes);
            TRowsKept rows;
            ASSERT_TRUE(streamed.DecodeRgbaRows(rows));
            EXPECT_EQ(streamed.DecodedRaster(), nullptr); // nothing kept
            kept.DIBNeeded();
            ASSERT_EQ(rows.Width, kept.DecodedRaster()->Width());
            ASSERT_EQ(rows.Height, kept.DecodedRaster()->Height());
            EXPECT_TRUE(rows.Bytes == RasterRgba(*kept.DecodedRaster()));
        }
}

// Palette pictures and four-component files are not streamed: the sink is
// never started and the raster still decodes afterwards.
TEST_F(JPEGFiles, PaletteAndFourComponentPicturesAreLeftToTheRaster) {
    const std::string colour = ReadFile(MakeJpeg("colour.jpg", 20, 10));
    const std::string grey = ReadFile(MakeJpeg("grey.jpg", 20, 10, "-grayscale"));
    const std::vector<std::array<uint8_t, 4>> inks(9, {10, 200, 30, 250});
    const struct {
        std::string Name, Bytes;
        std::function<void(TJPEGDefaults&)> Settings;
        TPixelFormat Raster;
    } cases[] = {
        {"grey file", grey, [](TJPEGDefaults&) {}, TPixelFormat::pf8bit},
        {"grey setting", colour, [](TJPEGDefaults& s) { s.Grayscale = true; }, TPixelFormat::pf8bit},
        {"8-bit setting", colour, [](TJPEGDefaults& s) { s.PixelFormat = TJPEGPixelFormat::jf8Bit; },
         TPixelFormat::pf8bit},
        {"CMYK", FourComponentJpeg(JCS_CMYK, inks), [](TJPEGDefaults&) {}, TPixelFormat::pf24bit},
        {"YCCK", FourComponentJpeg(JCS_YCCK, inks), [](TJPEGDefaults&) {}, TPixelFormat::pf24bit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TJPEGImage jpeg;
        c.Settings(jpeg.Settings);
        ReadInto(jpeg, c.Bytes);
        TRowsKept rows;
        EXPECT_FALSE(jpeg.DecodeRgbaRows(rows));
        EXPECT_EQ(rows.Width, -1);
        EXPECT_EQ(jpeg.DecodedRaster(), nullptr);
        jpeg.DIBNeeded();
        ASSERT_NE(jpeg.DecodedRaster(), nullptr);
        EXPECT_EQ(jpeg.DecodedRaster()->PixelFormat(), c.Raster);
    }
}

// Failures raise the same error as the raster's decoding: before the sink
// is started when the header is bad, after the last row when the end is.
TEST_F(JPEGFiles, FailuresWhileStreamingRaiseAsForTheRaster) {
    const std::string good = ReadFile(MakeJpeg("photo.jpg", 24, 16));
    const struct {
        std::string Name, Bytes, Error;
        int RowsGiven;
    } cases[] = {
        {"empty", "", "EJPEG: JPEG error #" + std::to_string(JERR_INPUT_EMPTY), 0},
        {"second frame header", WithSecondFrameHeader(good),
         "EJPEG: JPEG error #" + std::to_string(JERR_SOF_DUPLICATE), 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TJPEGImage streamed, kept;
        ReadInto(streamed, c.Bytes);
        ReadInto(kept, c.Bytes);
        TRowsKept rows;
        EXPECT_EQ(ErrorOf([&] { streamed.DecodeRgbaRows(rows); }), c.Error);
        EXPECT_EQ(rows.Bytes.size(), size_t(c.RowsGiven) * 24 * 4);
        EXPECT_EQ(ErrorOf([&] { kept.DIBNeeded(); }), c.Error);
    }
}
