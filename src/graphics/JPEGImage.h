#pragma once
// TJPEGImage: keeps a JPEG file's bytes and header facts at load and decodes
// with libjpeg only when the raster is first needed, once.

#include "graphics/Bitmap.h"

#include <memory>
#include <vector>

QUILLORA_EXCEPTION(EJPEG, EInvalidGraphic);

enum class TJPEGScale { jsFullSize, jsHalf, jsQuarter, jsEighth };
enum class TJPEGPixelFormat { jf24Bit, jf8Bit };
enum class TJPEGPerformance { jpBestQuality, jpBestSpeed };

struct TJPEGDefaults {
    int CompressionQuality = 90;
    bool Grayscale = false;
    TJPEGPerformance Performance = TJPEGPerformance::jpBestQuality;
    // The display is true-colour, so the 8-bit form is never the default here.
    TJPEGPixelFormat PixelFormat = TJPEGPixelFormat::jf24Bit;
    bool ProgressiveDisplay = false;
    bool ProgressiveEncoding = false;
    TJPEGScale Scale = TJPEGScale::jsFullSize;
    bool Smoothing = true;
};

// Takes decoded rows one at a time into the caller's own memory, so that a
// writer needs no raster of the whole picture.
class TJPEGRowSink {
  public:
    virtual ~TJPEGRowSink() = default;
    // Once, before the first row.
    virtual void Start(int width, int height) = 0;
    // Where the next row goes: width * 4 bytes, filled with red, green, blue, 255.
    virtual uint8_t* NextRow() = 0;
};

// The process-wide defaults every new TJPEGImage starts from.
TJPEGDefaults& JPEGDefaults();

// The file's bytes and what its header says; shared by copies of a picture.
struct TJPEGData {
    TPixelBuffer Data; // a block of its own when large: no clearing pass before the read
    int Width = 0;
    int Height = 0;
    bool Grayscale = false;
};

class TJPEGImage : public TGraphic {
  public:
    TJPEGImage();
    ~TJPEGImage() override;
    const char* ClassName() const override { return "TJPEGImage"; }

    // Shares the other picture's bytes; the raster is decoded again when needed.
    void Assign(const TJPEGImage& source);

    void DrawInRect(TCanvas& canvas, const TRect& rect) override;
    bool Empty() const override { return !FImage; }
    int Height() const override;
    int Width() const override;
    // EInvalidGraphicOperation "Cannot change the size of a JPEG image".
    void SetHeight(int value) override;
    void SetWidth(int value) override;
    void ReadPicture(TStream& stream) override;

    // Decodes into DecodedRaster if that was not tried yet. EJPEG on a libjpeg error.
    void DIBNeeded();
    const TBitmap* DecodedRaster() const { return FBitmap.get(); }
    // Decodes a full-colour picture straight into the sink's rows, the very
    // pixels DecodedRaster would hold, without keeping a raster. False, with
    // nothing decoded, when the picture would decode to a palette or from four
    // components: DIBNeeded is the way then. EJPEG on a libjpeg error.
    bool DecodeRgbaRows(TJPEGRowSink& sink);
    const TJPEGData* Data() const { return FImage.get(); }
    bool ProgressiveEncoding() const { return FProgressive; }

    TJPEGDefaults Settings;

  private:
    void ReadHeaderFacts(TJPEGData& data, bool& progressive);
    void CalcOutputDimensions() const;
    // Into the sink when given and it can take the picture (answered), else into FBitmap.
    bool Decode(TJPEGRowSink* sink);

    std::shared_ptr<const TJPEGData> FImage;
    std::unique_ptr<TBitmap> FBitmap;
    bool FProgressive = false;
    mutable int FScaledWidth = 0;
    mutable int FScaledHeight = 0;
    mutable bool FScaledValid = false;
    mutable TJPEGScale FScaledFor = TJPEGScale::jsFullSize;
};
