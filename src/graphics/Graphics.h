#pragma once
// The picture model shared by every reader and by the widgets that paint:
// rectangles, the 32-bit canvas pictures draw into, and the abstract picture.
// Nothing here knows about Qt; the widgets hand a canvas's pixels to QPainter.

#include "core/Classes.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Right and Bottom are exclusive, as in the classic rectangles.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TRect&) const = default;
};

inline TRect Rect(int left, int top, int right, int bottom) {
    return TRect{left, top, right, bottom};
}

// One pixel of a canvas: 0xAARRGGBB in a native 32-bit word, which is the
// memory layout of QImage::Format_ARGB32 / Format_RGB32.
using TColor32 = uint32_t;

inline TColor32 MakeColor32(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    return (TColor32(a) << 24) | (TColor32(r) << 16) | (TColor32(g) << 8) | TColor32(b);
}

// A 32-bit raster, rows top-down, that pictures draw into. It either owns its
// pixels or wraps a block that belongs to somebody else (a widget's QImage).
// Whatever is drawn outside it is clipped.
class TCanvas {
  public:
    TCanvas() = default;
    // Owns width x height pixels, all set to fill. Sizes are checked.
    TCanvas(int width, int height, TColor32 fill = 0xFFFFFFFF);
    // Wraps pixels owned by the caller; stride counts pixels, not bytes.
    TCanvas(TColor32* pixels, int width, int height, int stride);
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    int Stride() const { return FStride; }
    TColor32* Pixels() { return FPixels; }
    const TColor32* Pixels() const { return FPixels; }
    TColor32* ScanLine(int y) { return FPixels + static_cast<size_t>(y) * static_cast<size_t>(FStride); }
    const TColor32* ScanLine(int y) const {
        return FPixels + static_cast<size_t>(y) * static_cast<size_t>(FStride);
    }
    TRect ClipRect() const { return TRect{0, 0, FWidth, FHeight}; }
    void Fill(TColor32 color);

  private:
    std::vector<TColor32> FOwned;
    TColor32* FPixels = nullptr;
    int FWidth = 0;
    int FHeight = 0;
    int FStride = 0;
};

// The largest raster any reader agrees to hold; a header announcing more is
// treated as a broken file rather than an allocation that brings the machine down.
constexpr int64_t MaxRasterPixels = int64_t(1) << 28;

// What loading a picture may need besides its raster: buffers, tables, a
// decoder's own memory. A row of 32-bit pixels must fit it too.
constexpr int64_t MaxWorkingBytes = int64_t(64) << 20;

enum class TProgressStage { psStarting, psRunning, psEnding };

class TGraphic;
// Progress of a long read or decode. Throwing EAbort from it cancels the
// work quietly (the decoder stops and reports no error).
using TProgressEvent = std::function<void(TGraphic& sender, TProgressStage stage, int percentDone)>;
using TGraphicNotifyEvent = std::function<void(TGraphic& sender)>;

// The abstract picture. Each class reads its own file format (ReadPicture)
// and draws itself into a rectangle of a canvas.
class TGraphic {
  public:
    TGraphic() = default;
    virtual ~TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual const char* ClassName() const = 0;

    virtual void Changed();
    virtual void DrawInRect(TCanvas& canvas, const TRect& rect) = 0;
    virtual bool Empty() const = 0;
    virtual int Height() const = 0;
    virtual bool Transparent() const { return FTransparent; }
    virtual int Width() const = 0;
    // The stored form: a 32-bit little-endian byte count, then that many bytes of the file.
    virtual void ReadStoredData(TStream& stream);
    virtual void SetHeight(int value) = 0;
    virtual void SetTransparent(bool value);
    virtual void SetWidth(int value) = 0;
    // Opens the file for reading only and reads it with ReadPicture.
    virtual void LoadFile(const std::string& fileName);
    // Reads the picture from the stream's position to its end.
    virtual void ReadPicture(TStream& stream) = 0;

    bool Modified() const { return FModified; }
    void SetModified(bool value) { FModified = value; }
    bool PaletteModified() const { return FPaletteModified; }
    void SetPaletteModified(bool value) { FPaletteModified = value; }

    TGraphicNotifyEvent OnChange;
    TProgressEvent OnProgress;

  protected:
    void Progress(TProgressStage stage, int percentDone);

  private:
    bool FModified = false;
    bool FTransparent = false;
    bool FPaletteModified = false;
};

// A picture class for the registry: its name and its virtual constructor.
struct TGraphicClass {
    std::string Name;
    std::function<std::unique_ptr<TGraphic>()> Create;
};

// Width x height as a pixel count, or -1 when either is negative or the
// product exceeds MaxRasterPixels (no overflow: the check comes first).
int64_t CheckedPixelCount(int64_t width, int64_t height);
