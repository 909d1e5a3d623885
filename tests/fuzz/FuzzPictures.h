#pragma once
// Reading and drawing a picture the way the picture control does: the whole
// input is the file; it is then drawn into a small canvas through rectangles
// that fit, hang over every edge, and are far larger than any canvas, so the
// scaling arithmetic sees extreme ratios too.

#include "FuzzSupport.h"
#include "core/Classes.h"
#include "graphics/Graphics.h"

#include <cstdlib>
#include <string>

namespace fuzz {

inline void ReadPictureFrom(TGraphic& graphic, const uint8_t* data, size_t size) {
    TMemoryStream stream;
    stream.WriteBuffer(data, static_cast<int64_t>(size));
    stream.SetPosition(0);
    graphic.ReadPicture(stream);
}

inline void DrawEveryWay(TGraphic& graphic) {
    static const TRect rects[] = {
        Rect(0, 0, 48, 32),
        Rect(-13, -7, 20, 61),
        Rect(47, 31, 50, 40),
        Rect(-1000000, -1000000, 1000000, 1000000),
    };
    TCanvas canvas(48, 32, 0xFF808080);
    for (const TRect& rect : rects)
        graphic.DrawInRect(canvas, rect);
    // At its own size too, when that is small enough to stay quick.
    if (graphic.Width() > 0 && graphic.Height() > 0 && int64_t(graphic.Width()) * graphic.Height() <= 1 << 16) {
        TCanvas own(graphic.Width(), graphic.Height());
        graphic.DrawInRect(own, own.ClipRect());
    }
}

// QUILLORA_FUZZ_READ_ONLY=1 leaves the drawing out: while a drawing fault
// is open it would stop every run before the readers got any attention.
inline bool DrawingWanted() {
    static const bool wanted = [] {
        const char* value = std::getenv("QUILLORA_FUZZ_READ_ONLY");
        return value == nullptr || std::string(value) != "1";
    }();
    return wanted;
}

// Reads the picture and, when that worked, draws it; refusals are normal.
inline void ReadAndDraw(TGraphic& graphic, const uint8_t* data, size_t size) {
    if (Refused([&] { ReadPictureFrom(graphic, data, size); })) return;
    if (DrawingWanted()) Refused([&] { DrawEveryWay(graphic); });
}

} // namespace fuzz
