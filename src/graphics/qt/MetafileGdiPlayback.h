#pragma once
// The playback engine shared by both metafile kinds: it keeps the device
// context and the object table, and draws through QPainter in destination
// pixels. The EMF and WMF dispatchers (MetafilePlayerEmf.cpp,
// MetafilePlayerWmf.cpp) each hold one and drive it record by record.
// Only the player's own files include this.
//
// Its code lives in files by concern: MetafileGdiDeviceContext.cpp (mapping,
// state, object table, handing the state to the painter),
// MetafileGdiClipping.cpp, MetafileGdiShapes.cpp (lines, polygons, curves,
// arcs, paths), MetafileGdiText.cpp and MetafileGdiBitmaps.cpp.

#include "core/BoundedReader.h"
#include "graphics/qt/MetafileGdi.h"
#include "graphics/qt/MetafilePlaybackBudget.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <cstdint>
#include <optional>
#include <vector>

namespace MetafileGdi {

class TGdiPlayback {
  public:
    TGdiPlayback(QPainter& painter, const QRectF& destination);

    // Plays one record, charged to the budget; a record shorter than its
    // fields is skipped. Answers whether playback goes on.
    template <typename Play> bool PlayWithinBudget(Play play) {
        if (!FBudget.Spend(TPlaybackBudget::PerRecord)) return false;
        try {
            play();
        } catch (const EShortBlock&) {
        }
        return true;
    }

    // ---- The device context (MetafileGdiDeviceContext.cpp)

    // The state that records set field by field (colours, modes, window and viewport).
    TDcState& Dc();

    TPlaybackBudget& Budget();

    QSizeF PixelsPerMM() const;
    void SetPixelsPerMM(QSizeF pixelsPerMM);

    // The frame, in reference-device pixels, fills the destination.
    void MapReferenceFrame(const QRectF& frame);
    const QTransform& ReferenceToDestination() const;

    void ResizeObjectTable(size_t count);
    void StoreObject(uint32_t index, TGdiObject object);
    // WMF objects take the lowest free slot.
    void AddObject(TGdiObject object);
    void DeleteObject(uint32_t index);
    void SelectObjectAt(uint32_t index);

    void SaveDC();
    void RestoreDC(int which);
    void SetWorldTransform(const QTransform& transform);

    // ---- Clipping (MetafileGdiClipping.cpp)

    void IntersectClip(const QRectF& logical, bool exclude);
    void CombineClip(const QPainterPath& deviceArea, int mode);
    // The open path becomes part of the clip, and is discarded.
    void SelectClipPath(int mode);
    void ResetClip();

    // ---- Shapes and paths (MetafileGdiShapes.cpp)

    // Between these, shapes are added to the open path instead of drawn.
    void BeginPath();
    void EndPath();
    void CloseFigure();
    void AbortPath();
    // Draws the open path (already in destination pixels) and discards it.
    void DrawPath(bool fill, bool stroke);

    void Rectangle(int left, int top, int right, int bottom);
    void Ellipse(int left, int top, int right, int bottom);
    void RoundRect(int left, int top, int right, int bottom, int cornerWidth, int cornerHeight);

    enum class TArcKind { Arc, ArcTo, Chord, Pie };

    // Arcs run counter-clockwise on the screen unless the direction says
    // otherwise; a mapping that flips the picture flips the logical direction.
    void ArcShape(TArcKind kind, int left, int top, int right, int bottom, QPointF start, QPointF end);

    void AngleArc(QPointF centre, double radius, double startAngle, double sweepAngle);

    void LineTo(QPointF point);
    void MoveTo(QPointF point);
    void Poly(const QPolygonF& points, bool closed);
    void PolyTo(const QPolygonF& points);
    void PolyPolygon(const std::vector<QPolygonF>& polygons, bool closed);
    // Cubic Bézier segments; with "to", the current position is the first point.
    void PolyBezier(QPolygonF points, bool to);
    void SetPixel(QPointF point, QColor color);

    // ---- Text (MetafileGdiText.cpp)

    void DrawText(QPointF reference, const QString& text, const std::vector<double>& dx, uint32_t options,
                  const std::optional<QRectF>& box);

    // ---- Bitmaps (MetafileGdiBitmaps.cpp)

    // A block transfer without a source: the raster operation fills the area.
    void FillBlock(const QRectF& logical, uint32_t rop);

    void DrawBitmap(const QImage& image, QRectF target, QRectF source, uint32_t rop);

  private:
    // Logical coordinates to destination pixels.
    QTransform LogicalToDevice() const;

    QTransform PageToReference() const;

    void SelectObject(const TGdiObject& object);

    // How much the logical-to-device mapping enlarges lengths, on average.
    static double LengthScale(const QTransform& transform);

    // Charges painting over a box of destination pixels, plus the rows that
    // the edges of a path cross on it (what scan conversion costs: a zigzag
    // of a hundred thousand points is dear, a long outline of short steps is
    // not); answers whether it may be painted.
    bool AffordPainting(const QRectF& device, const QPainterPath* path = nullptr,
                        const QTransform& transform = QTransform());

    void PreparePainter(const QTransform& transform, bool fill, bool stroke);

    // Combining paths costs in proportion to their elements, and the result
    // only grows: a file that keeps cutting the clip pays for it.
    bool AffordClip(const QPainterPath& other);

    // Hands the painter a clip (in destination pixels) unless it has it
    // already: turning a path into a clip is the dearest part of a small
    // drawing, and most records draw through the same clip as the last one.
    void SetPainterClip(const QPainterPath& clip);

    // Draws a shape given in logical coordinates, or adds it to the open
    // path; a shape that continues from the current position (connect)
    // continues the path's figure there.
    void DrawShape(QPainterPath shape, bool fill, bool stroke, bool connect = false);

    // Shapes exclude their right and bottom edges: a box of width w covers
    // w device pixels with its outline, w - 1 without one. Shrinking the box
    // by one device pixel gives both with the way Qt fills and strokes.
    QRectF ShapeBox(int left, int top, int right, int bottom) const;

    // A font at its pixel size on the destination; nullopt when the size is absurd.
    std::optional<QFont> DeviceFont(double yScale) const;

    // Where the characters of a text go, in destination pixels from its start.
    struct TTextRun {
        std::vector<double> Offsets; // empty: the font's own advances
        double Width = 0;
        QPointF Start; // left end of the baseline, relative to the reference point
    };

    TTextRun LayOutText(const QString& text, const std::vector<double>& dx, const QFontMetricsF& metrics,
                        double xScale) const;

    void PaintTextRun(const QString& text, const TTextRun& run, const QFontMetricsF& metrics);

    enum : uint32_t {
        SRCCOPY = 0x00CC0020,
        SRCPAINT = 0x00EE0086,
        SRCAND = 0x008800C6,
        SRCINVERT = 0x00660046,
        PATCOPY = 0x00F00021,
        BLACKNESS = 0x00000042,
        WHITENESS = 0x00FF0062
    };

    QPainter& FPainter;
    QRectF FDestination;
    QTransform FReferenceToDestination;
    QSizeF FPixelsPerMM{96 / 25.4, 96 / 25.4};
    TDcState FDc;
    std::vector<TDcState> FSaved;
    std::vector<std::optional<TGdiObject>> FObjects;
    bool FInPath = false;
    QPainterPath FPath;
    bool FCanDrawText = false;
    TPlaybackBudget FBudget;
    QPainterPath FPainterClip; // the clip the painter has, when FPainterClipSet
    bool FPainterClipSet = false;
};

} // namespace MetafileGdi
