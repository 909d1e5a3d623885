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
    const TJPEGData* Data() const { return FImage.get(); }
    bool ProgressiveEncoding() const { return FProgressive; }

    TJPEGDefaults Settings;

  private:
    void ReadHeaderFacts(TJPEGData& data, bool& progressive);
    void CalcOutputDimensions() const;
    void Decode();

    std::shared_ptr<const TJPEGData> FImage;
    std::unique_ptr<TBitmap> FBitmap;
    bool FProgressive = false;
    mutable int FScaledWidth = 0;
    mutable int FScaledHeight = 0;
    mutable bool FScaledValid = false;
    mutable TJPEGScale FScaledFor = TJPEGScale::jsFullSize;
};
