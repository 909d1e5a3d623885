// Clipping of the playback engine: the device context's clip, kept in
// destination pixels, and the clip handed to the painter.

#include "graphics/qt/MetafileGdiPlayback.h"

namespace MetafileGdi {

bool TGdiPlayback::AffordClip(const QPainterPath& other) {
    return FBudget.Spend((FDc.Clip.elementCount() + other.elementCount()) * TPlaybackBudget::PerClipElement);
}

void TGdiPlayback::IntersectClip(const QRectF& logical, bool exclude) {
    if (!FBudget.Spend(FDc.Clip.elementCount() * TPlaybackBudget::PerClipElement)) return;
    QPainterPath area;
    area.addPolygon(LogicalToDevice().map(QPolygonF(logical)));
    area.closeSubpath();
    FDc.Clip = exclude ? FDc.Clip.subtracted(area) : FDc.Clip.intersected(area);
}

void TGdiPlayback::CombineClip(const QPainterPath& deviceArea, int mode) {
    if (!AffordClip(deviceArea)) return;
    QPainterPath whole;
    whole.addRect(FDestination);
    switch (mode) {
    case RGN_AND:
        FDc.Clip = FDc.Clip.intersected(deviceArea);
        break;
    case RGN_OR:
        FDc.Clip = FDc.Clip.united(deviceArea).intersected(whole);
        break;
    case RGN_XOR:
        FDc.Clip =
            FDc.Clip.united(deviceArea).subtracted(FDc.Clip.intersected(deviceArea)).intersected(whole);
        break;
    case RGN_DIFF:
        FDc.Clip = FDc.Clip.subtracted(deviceArea);
        break;
    case RGN_COPY:
        FDc.Clip = deviceArea.intersected(whole);
        break;
    }
}

void TGdiPlayback::SelectClipPath(int mode) {
    CombineClip(FPath, mode);
    FPath = QPainterPath();
    FInPath = false;
}

void TGdiPlayback::ResetClip() {
    FDc.Clip = QPainterPath();
    FDc.Clip.addRect(FDestination);
}

void TGdiPlayback::SetPainterClip(const QPainterPath& clip) {
    FPainter.setTransform(QTransform());
    if (FPainterClipSet && clip == FPainterClip) return;
    FBudget.Spend(clip.elementCount() * TPlaybackBudget::PerClipElement);
    QPainterPath box;
    box.addRect(clip.boundingRect());
    if (clip == box)
        FPainter.setClipRect(clip.boundingRect());
    else
        FPainter.setClipPath(clip);
    FPainterClip = clip;
    FPainterClipSet = true;
}

} // namespace MetafileGdi
