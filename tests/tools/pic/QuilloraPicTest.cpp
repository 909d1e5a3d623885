#include "graphics/GraphicsTestFiles.h"
#include "graphics/PNGTestFiles.h"

#include <unistd.h>

using namespace gfxtest;

namespace {

struct TPam {
    std::string Header;
    std::string Pixels;
};

class QuilloraPic : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(Tool.c_str(), X_OK) != 0) FAIL() << Tool << " is not built";
    }

    // Runs the tool; answers its exit status and keeps its standard error.
    int Pic(const std::string& arguments) {
        return RunCommand(Quote(Tool) + " " + arguments + " 2>" + Quote(Scratch.Path("stderr")));
    }
    std::string LastErrorLine() {
        std::string err = ReadFile(Scratch.Path("stderr"));
        while (!err.empty() && err.back() == '\n')
            err.pop_back();
        return err.substr(err.rfind('\n') == std::string::npos ? 0 : err.rfind('\n') + 1);
    }
    TPam ReadPam(const std::string& path) {
        std::string bytes = ReadFile(path);
        size_t end = bytes.find("ENDHDR\n");
        if (end == std::string::npos) return {bytes, ""};
        return {bytes.substr(0, end + 7), bytes.substr(end + 7)};
    }
    static std::string Header(int w, int h) {
        return "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
               "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    }

    const std::string Tool = std::string(QUILLORA_BIN_DIR) + "/quillora-pic";
    TScratch Scratch;
};

std::string Rgba(std::initializer_list<uint32_t> pixels) {
    std::string s;
    for (uint32_t p : pixels)
        s += {char(p >> 24), char(p >> 16), char(p >> 8), char(p)};
    return s;
}

} // namespace

TEST_F(QuilloraPic, WritesTheRasterAsPam) {
    TBmpFile layout;
    layout.Width = 2;
    layout.Height = 2;
    layout.BitCount = 8;
    layout.Palette = {0x102030, 0xA0B0C0};
    layout.Pixels = std::string("\x01\x00\x00\x00\x00\x01\x00\x00", 8); // bottom row first
    std::string in = Scratch.Write("palette.bmp", MakeBmp(layout));
    ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("out.pam"))), 0);
    TPam pam = ReadPam(Scratch.Path("out.pam"));
    EXPECT_EQ(pam.Header, Header(2, 2));
    EXPECT_EQ(pam.Pixels, Rgba({0x102030FF, 0xA0B0C0FF, 0xA0B0C0FF, 0x102030FF}));
}

// Rows wider than the pieces the tool converts at a time (65536 pixels), at
// 8 and 24 bits: every pixel lands where it belongs.
TEST_F(QuilloraPic, RowsWiderThanOnePieceAreWrittenWhole) {
    const int width = 70001;
    for (int bits : {8, 24}) {
        TBmpFile layout;
        layout.Width = width;
        layout.Height = 2;
        layout.BitCount = uint16_t(bits);
        for (uint32_t i = 0; bits == 8 && i < 256; ++i)
            layout.Palette.push_back(i * 0x010101);
        const size_t rowBytes = size_t(width * bits / 8 + 3) / 4 * 4;
        for (int y = 1; y >= 0; --y) { // bottom row first
            std::string row(rowBytes, '\0');
            for (int x = 0; x < width; ++x)
                for (int k = 0; k < bits / 8; ++k)
                    row[size_t(x * bits / 8 + k)] = char((x * 7 + y) & 255);
            layout.Pixels += row;
        }
        std::string in = Scratch.Write("wide.bmp", MakeBmp(layout));
        ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("wide.pam"))), 0) << bits;
        TPam pam = ReadPam(Scratch.Path("wide.pam"));
        EXPECT_EQ(pam.Header, Header(width, 2));
        ASSERT_EQ(pam.Pixels.size(), size_t(width) * 2 * 4);
        for (int y = 0; y < 2; ++y)
            for (int x : {0, 65535, 65536, width - 1}) {
                const char v = char((x * 7 + y) & 255);
                EXPECT_EQ(pam.Pixels.substr((size_t(y) * width + x) * 4, 4),
                          std::string({v, v, v, char(0xFF)}))
                    << bits << " bits, " << x << "," << y;
            }
    }
}

TEST_F(QuilloraPic, JpegIsDecodedAndPngKeepsItsAlpha) {
    // 13 columns: whole groups of four pixels and a tail.
    std::string ppm = "P6\n13 2\n255\n";
    for (int i = 0; i < 13 * 2 * 3; ++i)
        ppm += static_cast<char>((i * 37 + 11) & 0xFF);
    std::string ppmPath = Scratch.Write("in.ppm", ppm);
    std::string jpg = Scratch.Path("photo.JPG");
    ASSERT_EQ(RunCommand("cjpeg -outfile " + Quote(jpg) + " " + Quote(ppmPath)), 0);
    ASSERT_EQ(Pic(Quote(jpg) + " -o " + Quote(Scratch.Path("jpg.pam"))), 0);
    ASSERT_EQ(RunCommand("djpeg -pnm -outfile " + Quote(Scratch.Path("ref.ppm")) + " " + Quote(jpg)), 0);
    std::string ref = ReadFile(Scratch.Path("ref.ppm")).substr(std::string("P6\n13 2\n255\n").size());
    TPam pam = ReadPam(Scratch.Path("jpg.pam"));
    EXPECT_EQ(pam.Header, Header(13, 2));
    ASSERT_EQ(pam.Pixels.size(), 13u * 2 * 4);
    for (size_t i = 0; i < 26; ++i) {
        EXPECT_EQ(pam.Pixels.substr(4 * i, 3), ref.substr(3 * i, 3)) << i;
        EXPECT_EQ(uint8_t(pam.Pixels[4 * i + 3]), 255);
    }

    std::string png = std::string(QUILLORA_TESTDATA_DIR) + "/pngsuite/png/basn6a08.png";
    ASSERT_EQ(Pic(Quote(png) + " -o " + Quote(Scratch.Path("png.pam"))), 0);
    pam = ReadPam(Scratch.Path("png.pam"));
    EXPECT_EQ(pam.Header, Header(32, 32));
    bool someTransparent = false;
    for (size_t i = 3; i < pam.Pixels.size(); i += 4)
        someTransparent |= uint8_t(pam.Pixels[i]) < 255;
    EXPECT_TRUE(someTransparent);
}

// JPEG files of every structure come out as djpeg's pixels with opaque
// alpha (the full-colour ones decoded straight into the PAM, the grey ones
// through the raster's palette); a file that fails only at its end, after
// every row, leaves no file behind.
TEST_F(QuilloraPic, JpegFilesOfEveryKindAsDjpegDecodesThem) {
    const int w = 203, h = 97;
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ppm += {char(x * 255 / (w - 1)), char(((x / 7 + y / 5) % 2) * 180 + (x * y) % 50),
                    char(y * 255 / (h - 1))};
    const std::string ppmPath = Scratch.Write("in.ppm", ppm);
    const struct {
        std::string Cjpeg, Djpeg;
        bool Cut;
    } cases[] = {
        {"", "", false},
        {"-progressive", "", false},
        {"-sample 1x1 -quality 100", "", false},
        {"-sample 2x1", "", false},
        {"-sample 1x2", "", false},
        {"-restart 1", "", false},
        {"-restart 5B", "", false},
        {"-arithmetic", "", false},
        {"-optimize -progressive -restart 2", "", false},
        {"-grayscale", "-colors 236", false},
        {"", "", true},
        {"-progressive", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Cjpeg + (c.Cut ? " cut in half" : ""));
        std::string jpg = Scratch.Path("photo.jpg");
        ASSERT_EQ(RunCommand("cjpeg " + c.Cjpeg + " -outfile " + Quote(jpg) + " " + Quote(ppmPath)), 0);
        if (c.Cut) {
            const std::string whole = ReadFile(jpg);
            jpg = Scratch.Write("cut.jpg", whole.substr(0, whole.size() / 2));
        }
        ASSERT_EQ(Pic(Quote(jpg) + " -o " + Quote(Scratch.Path("out.pam"))), 0);
        RunCommand("djpeg " + c.Djpeg + " -pnm -outfile " + Quote(Scratch.Path("ref.pnm")) + " " +
                   Quote(jpg) + " 2>/dev/null");
        const std::string pnm = ReadFile(Scratch.Path("ref.pnm"));
        const bool grey = pnm.rfind("P5", 0) == 0;
        const std::string ref = pnm.substr(pnm.size() - size_t(w) * h * (grey ? 1 : 3));
        const TPam pam = ReadPam(Scratch.Path("out.pam"));
        EXPECT_EQ(pam.Header, Header(w, h));
        std::string want;
        for (size_t i = 0; i < size_t(w) * h; ++i)
            want += grey ? std::string{ref[i], ref[i], ref[i], char(0xFF)}
                         : std::string{ref[3 * i], ref[3 * i + 1], ref[3 * i + 2], char(0xFF)};
        EXPECT_TRUE(pam.Pixels == want);
    }

    // A second frame header before the end marker: libjpeg fails once all rows are out.
    const std::string base = Scratch.Path("base.jpg");
    ASSERT_EQ(RunCommand("cjpeg -outfile " + Quote(base) + " " + Quote(ppmPath)), 0);
    std::string bytes = ReadFile(base);
    const size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    const size_t length = size_t(uint8_t(bytes[sof + 2])) << 8 | uint8_t(bytes[sof + 3]);
    bytes = bytes.substr(0, bytes.size() - 2) + bytes.substr(sof, 2 + length) + "\xFF\xD9";
    std::filesystem::create_directories(Scratch.Path("out"));
    EXPECT_EQ(Pic(Quote(Scratch.Write("late.jpg", bytes)) + " -o " + Quote(Scratch.Path("out/late.pam"))), 1);
    EXPECT_EQ(LastErrorLine(), "EJPEG: JPEG error #58"); // two frame headers
    EXPECT_TRUE(std::filesystem::is_empty(Scratch.Path("out")));

    // The output is created once the decoder knows the size, from inside the decoding.
    EXPECT_EQ(Pic(Quote(base) + " -o " + Quote(Scratch.Path("no/such/dir/out.pam"))), 1);
    EXPECT_EQ(LastErrorLine().rfind("EFCreateError: Cannot create file", 0), 0u);
}

TEST_F(QuilloraPic, DrawScalesIntoAWhiteCanvas) {
    TBmpFile layout;
    layout.Width = 2;
    layout.Height = 1;
    layout.Pixels = std::string("\x00\x00\xFF\xFF\x00\x00\x00\x00", 8); // red, blue
    std::string in = Scratch.Write("two.bmp", MakeBmp(layout));
    ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("out.pam")) + " --draw 4 1"), 0);
    TPam pam = ReadPam(Scratch.Path("out.pam"));
    EXPECT_EQ(pam.Header, Header(4, 1));
    EXPECT_EQ(pam.Pixels, Rgba({0xFF0000FF, 0xFF0000FF, 0x0000FFFF, 0x0000FFFF}));

    // An icon sits at its own size in the corner; its masked part shows the white beneath.
    TIcoEntry entry;
    entry.Width = entry.Height = 2;
    entry.Image = MakeIconDib(
        2, 2, [](int, int) { return 0x00000000u; }, [](int x, int) { return x == 1; });
    std::string ico = Scratch.Write("a.ico", MakeIco({entry}));
    ASSERT_EQ(Pic(Quote(ico) + " -o " + Quote(Scratch.Path("ico.pam")) + " --draw 3 2"), 0);
    pam = ReadPam(Scratch.Path("ico.pam"));
    EXPECT_EQ(pam.Pixels, Rgba({0x000000FF, 0xFFFFFFFF, 0xFFFFFFFF, 0x000000FF, 0xFFFFFFFF, 0xFFFFFFFF}));
}

TEST_F(QuilloraPic, FileNamesInChinese) {
    TBmpFile layout;
    layout.Pixels = std::string("\x01\x02\x03\x00", 4);
    std::string in = Scratch.Write("相册/图片.bmp", MakeBmp(layout));
    ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("输出.pam"))), 0);
    EXPECT_EQ(ReadPam(Scratch.Path("输出.pam")).Pixels, Rgba({0x030201FF}));
    EXPECT_EQ(Pic(Quote(Scratch.Path("相册/没有.bmp")) + " -o " + Quote(Scratch.Path("o.pam"))), 1);
    EXPECT_NE(LastErrorLine().find("相册/没有.bmp"), std::string::npos);
}

TEST_F(QuilloraPic, FailuresEndWithTheExceptionAndStatus1) {
    const std::string out = " -o " + Quote(Scratch.Path("out.pam"));
    EXPECT_EQ(Pic(Quote(Scratch.Write("photo.gif", "GIF89a")) + out), 1);
    EXPECT_EQ(LastErrorLine(), "EInvalidGraphic: Unknown picture file extension (.gif)");
    EXPECT_EQ(Pic(Quote(Scratch.Write("page.jpg", "<html></html>")) + out), 1);
    EXPECT_EQ(LastErrorLine(), "EJPEG: JPEG error #53");
    EXPECT_EQ(Pic(Quote(Scratch.Write("empty.jpg", "")) + out), 1);
    EXPECT_EQ(LastErrorLine(), "EJPEG: JPEG error #42");
    EXPECT_EQ(Pic(Quote(Scratch.Path("missing.bmp")) + out), 1);
    EXPECT_EQ(LastErrorLine().rfind("EFOpenError: Cannot open file \"", 0), 0u);
    EXPECT_EQ(Pic(Quote(Scratch.Write("x.bmp", "")) + " -o " + Quote(Scratch.Path("no/such/dir/out.pam"))),
              1);
    EXPECT_EQ(LastErrorLine().rfind("EFCreateError: Cannot create file", 0), 0u);
}

// What --help says of the output is what the output is: the pixels as the
// picture control shows them, with a PNG's gamma applied, and always RGBA,
// a grey file included.
TEST_F(QuilloraPic, GreyPngIsWrittenAsRgbaWithItsGammaApplied) {
    using namespace pngtest;
    const std::string rows = Ihdr(2, 1, 8, 0) + Idat(std::string("\0\0\x80", 3)) + Iend();
    const struct {
        const char* Name;
        std::string Gamma; // the gAMA chunk, if any
        std::string Pixels;
    } cases[] = {
        {"no gAMA: the samples as stored", "", Rgba({0x000000FF, 0x808080FF})},
        // 255 * (128/255)^(1 / (1.0 * 2.2)) = 186.4
        {"gAMA 1.0 shown on a display of gamma 2.2", Chunk("gAMA", Be32(100000)),
         Rgba({0x000000FF, 0xBABABAFF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string in =
            Scratch.Write("grey.png", kSignature + rows.substr(0, 25) + c.Gamma + rows.substr(25));
        ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("out.pam"))), 0);
        const TPam pam = ReadPam(Scratch.Path("out.pam"));
        EXPECT_EQ(pam.Header, Header(2, 1));
        EXPECT_EQ(pam.Pixels, c.Pixels);
    }
    ASSERT_EQ(RunCommand(Quote(Tool) + " --help >" + Quote(Scratch.Path("help"))), 0);
    const std::string help = ReadFile(Scratch.Path("help"));
    EXPECT_NE(help.find("always TUPLTYPE RGB_ALPHA"), std::string::npos) << help;
    EXPECT_NE(help.find("the file's gamma applied"), std::string::npos) << help;
}

TEST_F(QuilloraPic, UsageErrorsExitWith2) {
    const std::string in = Quote(Scratch.Write("x.bmp", ""));
    for (const std::string& args :
         {std::string(""), in, "-o " + Quote(Scratch.Path("o.pam")), in + " -o o.pam --draw 0 5",
          in + " -o o.pam --draw 5", in + " -o o.pam --bogus", in + " -o o.pam --draw 5x 5"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(Pic(args), 2);
        EXPECT_EQ(LastErrorLine().rfind("usage: quillora-pic FILE -o OUT.pam [--draw W H]", 0), 0u);
        EXPECT_EQ(ReadFile(Scratch.Path("stderr")).find('\n'), ReadFile(Scratch.Path("stderr")).size() - 1);
    }
}

TEST_F(QuilloraPic, MetafilesArePlayedWithDraw) {
    // A placeable WMF: window 100 x 100, a red brush, one rectangle over all of it.
    std::string records;
    auto record = [&](uint16_t function, std::initializer_list<uint16_t> params) {
        Le32(records, uint32_t(3 + params.size()));
        Le16(records, function);
        for (uint16_t p : params)
            Le16(records, p);
    };
    record(0x020B, {0, 0});
    record(0x020C, {100, 100});
    record(0x02FC, {0, 0x00FF, 0, 0});
    record(0x012D, {0});
    record(0x041B, {100, 100, 0, 0});
    record(0x0000, {});
    std::string wmf;
    Le32(wmf, 0x9AC6CDD7);
    for (uint16_t v : {0, 0, 0, 100, 100, 96})
        Le16(wmf, v);
    Le32(wmf, 0);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= uint16_t(uint8_t(wmf[i]) | uint8_t(wmf[i + 1]) << 8);
    Le16(wmf, sum);
    Le16(wmf, 1);
    Le16(wmf, 9);
    Le16(wmf, 0x300);
    Le32(wmf, uint32_t(18 + records.size()) / 2);
    Le16(wmf, 1);
    Le32(wmf, 7);
    Le16(wmf, 0);
    std::string in = Scratch.Write("red.wmf", wmf + records);
    ASSERT_EQ(Pic(Quote(in) + " -o " + Quote(Scratch.Path("out.pam")) + " --draw 10 10"), 0);
    TPam pam = ReadPam(Scratch.Path("out.pam"));
    EXPECT_EQ(pam.Header, Header(10, 10));
    ASSERT_EQ(pam.Pixels.size(), 400u);
    EXPECT_EQ(pam.Pixels.substr((5 * 10 + 5) * 4, 4), Rgba({0xFF0000FF}));
}

namespace {

// A 24-bit picture whose PAM (about 360 KB) is far more than a pipe holds.
std::string LargeBmp() {
    TBmpFile layout;
    layout.Width = 300;
    layout.Height = 300;
    layout.BitCount = 24;
    layout.Pixels = std::string(size_t(300) * 300 * 3, '\x40');
    return MakeBmp(layout);
}

} // namespace

// Where -o sends the PAM: "-" and /dev/stdout are standard output (no file
// named "-" is written); a regular file is whole or not there, with no
// temporary file left beside it.
TEST_F(QuilloraPic, OutputToStandardOutputAndFiles) {
    const std::string in = Scratch.Write("big.bmp", LargeBmp());
    struct TCase {
        std::string Output, Redirect, Result;
    };
    const std::vector<TCase> cases{
        {"-", " >" + Quote(Scratch.Path("dash.out")), Scratch.Path("dash.out")},
        {"/dev/stdout", " >" + Quote(Scratch.Path("dev.out")), Scratch.Path("dev.out")},
        {Scratch.Path("sub/file.pam"), "", Scratch.Path("sub/file.pam")},
    };
    std::filesystem::create_directories(Scratch.Path("sub"));
    Scratch.Write("sub/file.pam", "an older file");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Output);
        ASSERT_EQ(RunCommand("cd " + Quote(Scratch.Path("")) + " && " + Quote(Tool) + " " + Quote(in) +
                             " -o " + Quote(c.Output) + c.Redirect),
                  0);
        const TPam pam = ReadPam(c.Result);
        EXPECT_EQ(pam.Header, Header(300, 300));
        EXPECT_EQ(pam.Pixels.size(), size_t(300) * 300 * 4);
        EXPECT_EQ(pam.Pixels.substr(0, 4), std::string("\x40\x40\x40\xFF", 4));
    }
    EXPECT_FALSE(std::filesystem::exists(Scratch.Path("-")));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(Scratch.Path("sub")))
        ++entries;
    EXPECT_EQ(entries, 1u); // file.pam alone
}

// A reader that stops early ends the program at once: killed by SIGPIPE
// (status 141 through timeout) or status 1, never the time-out's 124. The
// time-out is far beyond what the run needs; it only keeps a regression
// from hanging the test run.
TEST_F(QuilloraPic, ClosedPipeEndsTheProgram) {
    // A JPEG's rows go out while it is being decoded: 600 x 600 is well past the pipe's buffer.
    const std::string ppm =
        Scratch.Write("big.ppm", "P6\n600 600\n255\n" + std::string(600 * 600 * 3, '\x40'));
    const std::string jpg = Scratch.Path("big.jpg");
    ASSERT_EQ(RunCommand("cjpeg -outfile " + Quote(jpg) + " " + Quote(ppm)), 0);
    const std::string bmp = Scratch.Write("big.bmp", LargeBmp());
    for (const std::string& in : {bmp, jpg})
        for (const char* output : {"/dev/stdout", "-"}) {
            SCOPED_TRACE(in + " " + output);
            const std::string status = Scratch.Path("status");
            ASSERT_EQ(RunCommand("bash -c " +
                                 Quote("timeout 600 \"$0\" \"$1\" -o \"$2\" | head -c 4 >/dev/null; "
                                       "echo \"${PIPESTATUS[0]}\" >\"$3\"") +
                                 " " + Quote(Tool) + " " + Quote(in) + " " + Quote(output) + " " +
                                 Quote(status)),
                      0);
            const std::string code = ReadFile(status);
            EXPECT_TRUE(code == "141\n" || code == "1\n") << code;
        }
}
