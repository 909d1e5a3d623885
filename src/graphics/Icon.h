#pragma once
// TIcon: ICO files. The bytes are kept at load and decoded at the first
// drawing, choosing the entry that suits the display best.

#include "graphics/Bitmap.h"

#include <memory>
#include <vector>

// The system's icon size and the display's colour depth on this platform.
constexpr int SystemIconSize = 32;
constexpr int DisplayBitsPerPixel = 32;

struct TIconDirEntry {
    int Width = 0; // 0 in the file means 256
    int Height = 0;
    int ColorCount = 0; // 0: unlimited
    int Planes = 0;
    int BitCount = 0;
    uint32_t BytesInRes = 0;
    uint32_t ImageOffset = 0;
};

class TIcon : public TGraphic {
  public:
    const char* ClassName() const override { return "TIcon"; }

    void DrawInRect(TCanvas& canvas, const TRect& rect) override;
    bool Empty() const override { return !FLoaded; }
    int Height() const override;
    int Width() const override;
    // Sets the requested size used to choose an entry.
    void SetHeight(int value) override;
    void SetWidth(int value) override;
    void ReadPicture(TStream& stream) override;

    // Decodes the chosen entry now (idempotent); "Icon image is not valid" on a broken entry.
    void HandleNeeded();
    // The decoded image: pf32bit with alpha (fully transparent where the mask is set).
    const TBitmap* Image() const { return FImage.get(); }
    int ChosenEntry() const { return FChosen; }

    // The entry that suits a display of displayBits bits per pixel at the requested size.
    static int ChooseEntry(const std::vector<TIconDirEntry>& entries, int requestedWidth, int requestedHeight,
                           int displayBits);

  private:
    std::vector<TIconDirEntry> ReadDirectory() const;
    void DecodeEntry(const TIconDirEntry& entry);
    void DecodeDibEntry(const uint8_t* data, size_t size);
    void DecodePngEntry(const uint8_t* data, size_t size);
    void MakeApplicationIcon();

    std::vector<uint8_t> FData;
    std::unique_ptr<TBitmap> FImage;
    bool FLoaded = false;
    int FType = 0;
    int FChosen = -1;
    int FRequestedWidth = 0;
    int FRequestedHeight = 0;
};
