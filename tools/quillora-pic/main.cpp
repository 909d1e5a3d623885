// quillora-pic: loads a picture file the way the program does (by its
// extension, through the picture registry) and writes the raster it gets as
// a PAM file, so that tests and people can compare it with other decoders.
//
//   quillora-pic FILE -o OUT.pam [--draw W H]
//
// With --draw the picture is drawn into a white W x H canvas, as the picture
// control would draw it into that rectangle, and the canvas is written.

#include "HelpText.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "graphics/Bitmap.h"
#include "graphics/Icon.h"
#include "graphics/JPEGImage.h"
#include "graphics/Metafile.h"
#include "graphics/Picture.h"
#include "graphics/PixelSwap.h"

#ifdef QUILLORA_PIC_QT
#include "graphics/qt/MetafilePlayer.h"

#include <QGuiApplication>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct TOptions {
    std::string Input;
    std::string Output;
    bool Draw = false;
    int DrawWidth = 0;
    int DrawHeight = 0;
};

bool ParseSize(const char* text, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v <= 0 || v > 1 << 16) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // Paths are texts of the program's code page inside; the shell gives file-system names.
        if (arg == "-o" && i + 1 < argc) {
            options.Output = FileNameToGbk(argv[++i]);
        } else if (arg == "--draw" && i + 2 < argc) {
            options.Draw = true;
            if (!ParseSize(argv[i + 1], options.DrawWidth) || !ParseSize(argv[i + 2], options.DrawHeight))
                return false;
            i += 2;
        } else if (options.Input.empty() && !arg.empty() && arg[0] != '-') {
            options.Input = FileNameToGbk(arg);
        } else {
            return false;
        }
    }
    return !options.Input.empty() && !options.Output.empty();
}

// Where the PAM goes. "-" is standard output; a device or pipe
// (/dev/stdout, a FIFO) is written as the bytes come, opened for writing
// only: opened for reading too, a pipe would keep a reader of its own and a
// closed far end would go unnoticed, the program waiting for ever once it is
// full. A regular file appears under its name only when it is complete.
class TPamFile {
  public:
    explicit TPamFile(const std::string& path) {
        if (path == "-") {
            FStream = std::make_unique<TFileStream>(::dup(STDOUT_FILENO));
            return;
        }
        const std::string native = GbkToFileName(path);
        struct stat st {};
        if (::stat(native.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || IsProcessDescriptor(native))) {
            const int fd = ::open(native.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd < 0) RaiseCreateError(path, errno);
            FStream = std::make_unique<TFileStream>(fd);
            return;
        }
        auto file = std::make_unique<TAtomicFileStream>(path);
        FAtomic = file.get();
        FStream = std::move(file);
    }
    TStream& Stream() { return *FStream; }
    void Commit() {
        if (FAtomic) FAtomic->Commit();
    }

  private:
    // /dev/stdout may lead to the regular file the shell opened: written
    // through, as there is no folder of ours to rename in.
    static bool IsProcessDescriptor(const std::string& native) {
        return native.rfind("/dev/", 0) == 0 || native.rfind("/proc/", 0) == 0;
    }
    std::unique_ptr<TStream> FStream;
    TAtomicFileStream* FAtomic = nullptr;
};

// Writes the PAM header and then the pixels' bytes, in blocks.
class TPamWriter {
  public:
    static constexpr size_t BlockBytes = size_t(256) << 10;

    TPamWriter(const std::string& path, int width, int height) : FOut(path), FFile(FOut.Stream()) {
        FFile.WriteText(Format("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                               width, height));
        FBlock.reset(new uint8_t[BlockBytes]);
    }
    // Room for count bytes (at most BlockBytes), written when the block is full.
    uint8_t* Next(size_t count) {
        if (FUsed + count > BlockBytes) Flush();
        uint8_t* at = FBlock.get() + FUsed;
        FUsed += count;
        return at;
    }
    void Flush() {
        FFile.WriteBuffer(FBlock.get(), static_cast<int64_t>(FUsed));
        FUsed = 0;
    }
    // After the last Flush: the file takes its name.
    void Finish() { FOut.Commit(); }

  private:
    TPamFile FOut;
    TStream& FFile;
    std::unique_ptr<uint8_t[]> FBlock;
    size_t FUsed = 0;
};

// A full-colour JPEG is decoded row by row straight into the PAM's block, in
// its red, green, blue, alpha order: no raster of the whole picture to fault
// in, no second pass to reorder it. A JPEG row (65500 pixels at most) always
// fits the block.
class TPamRows : public TJPEGRowSink {
  public:
    explicit TPamRows(const std::string& path) : FPath(path) {}
    void Start(int width, int height) override {
        FPam = std::make_unique<TPamWriter>(FPath, width, height);
        FRowBytes = size_t(width) * 4;
    }
    uint8_t* NextRow() override { return FPam->Next(FRowBytes); }
    void Finish() {
        FPam->Flush();
        FPam->Finish();
    }

  private:
    std::string FPath;
    std::unique_ptr<TPamWriter> FPam;
    size_t FRowBytes = 0;
};
static_assert(size_t(65500) * 4 <= TPamWriter::BlockBytes, "a JPEG row fits one block");

// Rows are converted in pieces of this many pixels, so that a picture of any
// width costs the same small buffers.
constexpr int PiecePixels = int(TPamWriter::BlockBytes / 4);

// TColor32 is 0xAARRGGBB: in memory blue, green, red, alpha.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixels are read as little-endian words");
void Color32ToRgba(const TColor32* in, int width, uint8_t* out) {
    pixelswap::SwapRedBlue4(reinterpret_cast<const uint8_t*>(in), out, size_t(width));
}

// Blue-green-red rows (every decoded JPEG) to red-green-blue-alpha: this is
// what the PAM's extra byte per pixel costs over a plain PPM writer.
void BgrToRgba(const uint8_t* in, int width, uint8_t* out) {
    pixelswap::BgrToRgba(in, out, size_t(width));
}

void WriteBitmap(const TBitmap& bitmap, const std::string& path) {
    const int width = bitmap.Width(), height = bitmap.Height();
    TPamWriter pam(path, width, height);
    const bool bgr = bitmap.PixelFormat() == TPixelFormat::pf24bit;
    std::vector<int> columns(static_cast<size_t>(std::min(width, PiecePixels)));
    std::vector<TColor32> piece(columns.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; x += PiecePixels) {
            const int count = std::min(PiecePixels, width - x);
            uint8_t* out = pam.Next(size_t(count) * 4);
            if (bgr) {
                // The common case (every JPEG) without the detour through 32-bit pixels.
                BgrToRgba(bitmap.ScanLine(y) + size_t(x) * 3, count, out);
                continue;
            }
            for (int i = 0; i < count; ++i)
                columns[size_t(i)] = x + i;
            bitmap.SampleRow(y, columns.data(), size_t(count), piece.data());
            Color32ToRgba(piece.data(), count, out);
        }
    pam.Flush();
    pam.Finish();
}

void WriteCanvas(const TCanvas& canvas, const std::string& path) {
    TPamWriter pam(path, canvas.Width(), canvas.Height());
    for (int y = 0; y < canvas.Height(); ++y)
        for (int x = 0; x < canvas.Width(); x += PiecePixels) {
            const int count = std::min(PiecePixels, canvas.Width() - x);
            Color32ToRgba(canvas.ScanLine(y) + x, count, pam.Next(size_t(count) * 4));
        }
    pam.Flush();
    pam.Finish();
}

void DrawAndWrite(TGraphic& graphic, int width, int height, const std::string& path) {
    TCanvas canvas(width, height, 0xFFFFFFFF);
    graphic.DrawInRect(canvas, Rect(0, 0, width, height));
    WriteCanvas(canvas, path);
}

// The raster a picture holds: decoded first where decoding is deferred.
void WriteRaster(TGraphic& graphic, const std::string& path) {
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(&graphic)) {
        TPamRows rows(path);
        if (jpeg->DecodeRgbaRows(rows)) return rows.Finish();
        jpeg->DIBNeeded();
        WriteBitmap(*jpeg->DecodedRaster(), path);
    } else if (auto* icon = dynamic_cast<TIcon*>(&graphic)) {
        icon->HandleNeeded();
        WriteBitmap(*icon->Image(), path);
    } else if (auto* bitmap = dynamic_cast<TBitmap*>(&graphic)) {
        WriteBitmap(*bitmap, path);
    } else {
        // A metafile has no raster of its own: it is drawn at its own size.
        DrawAndWrite(graphic, std::max(graphic.Width(), 1), std::max(graphic.Height(), 1), path);
    }
}

#ifdef QUILLORA_PIC_QT
// Metafiles are played by the window layer's player, which needs Qt's fonts;
// it runs on the display-less platform.
std::unique_ptr<QGuiApplication> StartMetafilePlayer() {
    static int argc = 3;
    static char name[] = "quillora-pic", option[] = "-platform", platform[] = "offscreen";
    static char* argv[] = {name, option, platform, nullptr};
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    InstallMetafilePlayer();
    return app;
}
#else
// Only metafiles need Qt, and loading Qt costs every run several
// milliseconds: they are handed to the Qt-linked twin beside this program.
// When it is missing, the metafile draws nothing, as without a player.
void HandToMetafileTwin(char** argv) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    std::string twin(self, static_cast<size_t>(n));
    twin = twin.substr(0, twin.rfind('/') + 1) + "quillora-pic-qt";
    ::execv(twin.c_str(), argv);
}
#endif

int Run(const TOptions& options, [[maybe_unused]] char** argv) {
    TPicture picture;
    picture.LoadPictureFile(options.Input);
#ifdef QUILLORA_PIC_QT
    std::unique_ptr<QGuiApplication> app;
    if (dynamic_cast<TMetafile*>(picture.Graphic())) app = StartMetafilePlayer();
#else
    if (dynamic_cast<TMetafile*>(picture.Graphic())) HandToMetafileTwin(argv);
#endif
    if (options.Draw)
        DrawAndWrite(*picture.Graphic(), options.DrawWidth, options.DrawHeight, options.Output);
    else
        WriteRaster(*picture.Graphic(), options.Output);
    return 0;
}

} // namespace

#ifdef QUILLORA_PIC_QT
constexpr const char* PicProgramName = "quillora-pic-qt";
#else
constexpr const char* PicProgramName = "quillora-pic";
#endif

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s (QuilloraDownLoad) %s\n", PicProgramName, QUILLORA_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: quillora-pic FILE -o OUT.pam [--draw W H]\n\n%s", HelpText);
            return 0;
        }
    }
    TOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: quillora-pic FILE -o OUT.pam [--draw W H]\n");
        return 2;
    }
    try {
        return Run(options, argv);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), GbkToUtf8(e.Message()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "EOutOfMemory: Out of memory\n");
    }
    return 1;
}
