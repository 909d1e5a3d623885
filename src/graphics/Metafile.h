#pragma once
// TMetafile: WMF (placeable) and EMF files. This part only checks the header,
// works out the size and keeps the bytes; playing the records is done by a
// player that the window layer installs (graphics/qt/MetafilePlayer.h), so the
// decoders stay free of Qt. Without a player a metafile draws nothing. The
// records themselves are read by graphics/MetafileRecords.h.

#include "graphics/Graphics.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <vector>

class TMetafile;

using TMetafilePlayer = std::function<void(const TMetafile& metafile, TCanvas& canvas, const TRect& rect)>;
void SetMetafilePlayer(TMetafilePlayer player);
const TMetafilePlayer& MetafilePlayer();

class TMetafile : public TGraphic {
  public:
    const char* ClassName() const override { return "TMetafile"; }

    void DrawInRect(TCanvas& canvas, const TRect& rect) override;
    bool Empty() const override { return FData.empty(); }
    // Pixels at 96 per inch.
    int Height() const override;
    int Width() const override;
    void SetHeight(int value) override;
    void SetWidth(int value) override;
    void ReadPicture(TStream& stream) override;

    bool Enhanced() const { return FEnhanced; }
    // EMF: the whole file. WMF: the whole file, the 22-byte placeable header first.
    const std::vector<uint8_t>& Data() const { return FData; }
    // WMF: the records after the placeable header.
    const uint8_t* WmfRecords() const { return FData.data() + 22; }
    size_t WmfRecordsSize() const { return FData.size() > 22 ? FData.size() - 22 : 0; }
    // Size in units of 0.01 mm.
    int MMWidth() const { return FMMWidth; }
    int MMHeight() const { return FMMHeight; }
    // WMF: the bounding box in logical units and the logical units per inch.
    TRect WmfBounds() const { return FWmfBounds; }
    int Inch() const { return FInch; }
    // EMF: the bounds (device pixels) and the frame (0.01 mm) of the header.
    TRect EmfBounds() const { return FEmfBounds; }
    TRect EmfFrame() const { return FEmfFrame; }

  private:
    bool TryReadEnhanced(const std::vector<uint8_t>& bytes);
    bool TryReadPlaceable(const std::vector<uint8_t>& bytes);

    std::vector<uint8_t> FData;
    bool FEnhanced = false;
    int FMMWidth = 0;
    int FMMHeight = 0;
    TRect FWmfBounds;
    int FInch = 0;
    TRect FEmfBounds;
    TRect FEmfFrame;
};
