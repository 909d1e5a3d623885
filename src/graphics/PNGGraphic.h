#pragma once
// TPNGGraphic: PNG files read into the TBitmap raster it is. Grey and
// indexed images keep their sample values (with a grey or the file's
// palette), colour images become blue-green-red rasters, colour with alpha a
// 32-bit raster that is blended over what lies beneath when drawn.

#include "graphics/Bitmap.h"

#include <array>
#include <cstdint>

// The class of "LZ77 decompression error.": zlib's inflater failing to set up or close.
QUILLORA_EXCEPTION(EGraphicCompression, EInvalidGraphic);

class TPNGGraphic : public TBitmap {
  public:
    const char* ClassName() const override { return "TPNGGraphic"; }

    // Alpha pictures are mixed into the canvas; every other one is drawn as a bitmap.
    void DrawInRect(TCanvas& canvas, const TRect& rect) override;
    // Reads one PNG from the stream's position. Failures leave the raster undefined.
    void ReadPicture(TStream& stream) override;

    // Facts of the last read.
    double FileGamma() const { return FFileGamma; }
    // tRNS of an indexed image: one alpha per palette index, 255 beyond the chunk.
    const std::array<uint8_t, 256>& TransparencyTable() const { return FTransparencyTable; }
    // tRNS of a grey or colour image: the colour drawn transparent (through a mask).
    bool HasTransparentColor() const { return FHasTransparentColor; }
    TColor32 TransparentColor() const { return FTransparentColor; }

  private:
    friend class TPngDecoder;

    double FFileGamma = 1.0;
    std::array<uint8_t, 256> FTransparencyTable{};
    bool FHasTransparentColor = false;
    TColor32 FTransparentColor = 0;
};

// Registers the png extension in PictureFormats; called by the registry when it is created.
void RegisterPngFormat();

// The 256-entry table that brightens or darkens 8-bit samples of a file with
// the given gamma for a display of gamma 2.2 (a file gamma of 0 counts as 1).
std::array<uint8_t, 256> PngGammaTable(double fileGamma);
