#pragma once
// What playback of both metafile kinds shares: record access,
// the logical objects and device context of the classic drawing interface,
// the work budget, bitmaps inside records, and the engine that draws through
// QPainter in destination pixels. Only the player's own files include this.

#include "core/Gbk.h"
#include "graphics/Bitmap.h"
#include "graphics/Metafile.h"
#include "graphics/MetafileRecords.h"
#include "graphics/qt/Colors.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace MetafileGdi {

// Records are read through bounded readers: a field past the record's end
// raises EShortBlock, and playback skips that record.
using TRecord = TBoundedReader;

// ---- Logical objects and the device context

enum : int { PS_SOLID = 0, PS_DASH, PS_DOT, PS_DASHDOT, PS_DASHDOTDOT, PS_NULL, PS_INSIDEFRAME };
enum : int { BS_SOLID = 0, BS_NULL = 1, BS_HATCHED = 2 };
enum : uint32_t { TA_UPDATECP = 1, TA_RIGHT = 2, TA_CENTER = 6, TA_BOTTOM = 8, TA_BASELINE = 24 };
enum : uint32_t { ETO_OPAQUE = 2, ETO_CLIPPED = 4, ETO_GLYPH_INDEX = 0x10, ETO_PDY = 0x2000 };
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };

struct TLogPen {
    int Style = PS_SOLID;
    double Width = 0; // 0: one device pixel
    QColor Color = Qt::black;
    Qt::PenCapStyle Cap = Qt::RoundCap;
    Qt::PenJoinStyle Join = Qt::RoundJoin;
};

struct TLogBrush {
    int Style = BS_SOLID;
    QColor Color = Qt::white;
    int Hatch = 0;
    QImage Pattern;
};

struct TLogFont {
    int Height = 0;
    int Escapement = 0;
    int Weight = 400;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;
    QString Face;
};

struct TGdiObject {
    enum class TKind { Pen, Brush, Font, Other } Kind = TKind::Other;
    TLogPen Pen;
    TLogBrush Brush;
    TLogFont Font;
};

enum : int {
    MM_TEXT = 1,
    MM_LOMETRIC,
    MM_HIMETRIC,
    MM_LOENGLISH,
    MM_HIENGLISH,
    MM_TWIPS,
    MM_ISOTROPIC,
    MM_ANISOTROPIC
};

struct TDcState {
    int MapMode = MM_TEXT;
    QPointF WindowOrg{0, 0}, WindowExt{1, 1}, ViewportOrg{0, 0}, ViewportExt{1, 1};
    QTransform World;
    TLogPen Pen;
    TLogBrush Brush;
    TLogFont Font;
    QColor TextColor = Qt::black;
    QColor BkColor = Qt::white;
    bool BkOpaque = true;
    Qt::FillRule FillRule = Qt::OddEvenFill;
    uint32_t TextAlign = 0;
    bool Clockwise = false;
    QPointF Position;
    QPainterPath Clip; // destination pixels
};

// Stock objects, selected with the index 0x80000000 + n in EMF.
std::optional<TGdiObject> StockObject(uint32_t index);

// Bitmaps inside a metafile are decoded whole; a header that announces more
// than this is not drawn rather than allowed to exhaust memory.
constexpr int64_t MaxDibPixels = int64_t(1) << 24;

// What playing one picture may cost. Nothing in a file bounds it: a record
// of a hundred bytes can ask for a bitmap of 2^24 pixels to be decoded, or
// for the whole destination to be filled through a clip path that every
// record made more complex. Each step is charged what it roughly costs in
// nanoseconds; once the budget is spent, the remaining records are skipped,
// so that no file keeps the window from repainting for more than a moment.
class TPlaybackBudget {
  public:
    static constexpr int64_t Total = int64_t(1) << 28;
    static constexpr int64_t PerRecord = 1000;
    static constexpr int64_t PerDrawing = 16384; // the painter's set-up for one call
    static constexpr int64_t PerDibPixel = 16;
    static constexpr int64_t PerEdgeRow = 64;
    static constexpr int64_t PerClipElement = 500;

    // Charges units; answers whether the work may still be done.
    bool Spend(int64_t units) {
        FLeft -= std::max<int64_t>(units, 0);
        return FLeft >= 0;
    }
    bool Spent() const { return FLeft < 0; }

  private:
    int64_t FLeft = Total;
};

// A packed or split device-independent bitmap, decoded by the BMP reader
// behind a made-up 14-byte file header. A null image when it is not valid.
QImage DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
                 TPlaybackBudget& budget);

// Rows of a bitmap with a positive height are stored bottom-up, and source
// rectangles count their rows from the bottom.
bool DibBottomUp(const TRecord& info);

// Size of the header and colour table of a packed DIB, so that its bits can
// be found; 0 when the header is broken.
size_t PackedDibInfoSize(const TRecord& dib);

// ---- The playback engine shared by both formats

class TGdiPlayback {
  public:
    TGdiPlayback(QPainter& painter, const QRectF& destination)
        : FPainter(painter), FDestination(destination) {
        FDc.Clip.addRect(destination);
        // Fonts need the GUI application; without one (a command-line tool) texts are skipped.
        FCanDrawText = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    }

  protected:
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

    // Logical coordinates to destination pixels.
    QTransform LogicalToDevice() const { return FDc.World * PageToReference() * FReferenceToDestination; }

    QTransform PageToReference() const;

    // ---- Objects

    void ResizeObjectTable(size_t count) { FObjects.assign(std::min<size_t>(count, 65536), std::nullopt); }

    void StoreObject(uint32_t index, TGdiObject object) {
        if (index < FObjects.size()) FObjects[index] = std::move(object);
    }

    // WMF objects take the lowest free slot.
    void AddObject(TGdiObject object) {
        for (auto& slot : FObjects)
            if (!slot) {
                slot = std::move(object);
                return;
            }
    }

    void DeleteObject(uint32_t index) {
        if (index < FObjects.size()) FObjects[index].reset();
    }

    void SelectObject(const TGdiObject& object) {
        switch (object.Kind) {
        case TGdiObject::TKind::Pen:
            FDc.Pen = object.Pen;
            break;
        case TGdiObject::TKind::Brush:
            FDc.Brush = object.Brush;
            break;
        case TGdiObject::TKind::Font:
            FDc.Font = object.Font;
            break;
        case TGdiObject::TKind::Other:
            break;
        }
    }

    void SelectObjectAt(uint32_t index) {
        if (index & 0x80000000u) {
            if (auto stock = StockObject(index & 0x7FFFFFFFu)) SelectObject(*stock);
        } else if (index < FObjects.size() && FObjects[index]) {
            SelectObject(*FObjects[index]);
        }
    }

    static TLogPen MakeLogPen(int style, double width, QColor color) {
        TLogPen pen;
        pen.Style = style & 0x0F;
        pen.Width = std::fabs(width);
        pen.Color = color;
        switch (style & 0x0F00) {
        case 0x0100:
            pen.Cap = Qt::SquareCap;
            break;
        case 0x0200:
            pen.Cap = Qt::FlatCap;
            break;
        }
        switch (style & 0xF000) {
        case 0x1000:
            pen.Join = Qt::BevelJoin;
            break;
        case 0x2000:
            pen.Join = Qt::MiterJoin;
            break;
        }
        return pen;
    }

    static TGdiObject PenObject(const TLogPen& pen) {
        TGdiObject object;
        object.Kind = TGdiObject::TKind::Pen;
        object.Pen = pen;
        return object;
    }

    static TGdiObject BrushObject(int style, QColor color, int hatch, QImage pattern = QImage()) {
        TGdiObject object;
        object.Kind = TGdiObject::TKind::Brush;
        object.Brush.Style = style;
        object.Brush.Color = color;
        object.Brush.Hatch = hatch;
        object.Brush.Pattern = std::move(pattern);
        return object;
    }

    static TGdiObject FontObject(const TLogFont& font) {
        TGdiObject object;
        object.Kind = TGdiObject::TKind::Font;
        object.Font = font;
        return object;
    }

    // ---- State

    void SaveDC() {
        // A file that only saves would otherwise grow the stack without end.
        if (FSaved.size() < 4096) FSaved.push_back(FDc);
    }

    void RestoreDC(int which) {
        if (which < 0) {
            const size_t back = size_t(-int64_t(which));
            if (back > FSaved.size()) return;
            FDc = FSaved[FSaved.size() - back];
            FSaved.resize(FSaved.size() - back);
        } else if (which > 0 && size_t(which) <= FSaved.size()) {
            FDc = FSaved[size_t(which) - 1];
            FSaved.resize(size_t(which) - 1);
        }
    }

    void SetWorldTransform(const QTransform& transform) {
        if (transform.isInvertible() && std::isfinite(transform.m11()) && std::isfinite(transform.m12()) &&
            std::isfinite(transform.m21()) && std::isfinite(transform.m22()) &&
            std::isfinite(transform.dx()) && std::isfinite(transform.dy()))
            FDc.World = transform;
    }

    // Combining paths costs in proportion to their elements, and the result
    // only grows: a file that keeps cutting the clip pays for it.
    bool AffordClip(const QPainterPath& other) {
        return FBudget.Spend((FDc.Clip.elementCount() + other.elementCount()) *
                             TPlaybackBudget::PerClipElement);
    }

    void IntersectClip(const QRectF& logical, bool exclude) {
        if (!FBudget.Spend(FDc.Clip.elementCount() * TPlaybackBudget::PerClipElement)) return;
        QPainterPath area;
        area.addPolygon(LogicalToDevice().map(QPolygonF(logical)));
        area.closeSubpath();
        FDc.Clip = exclude ? FDc.Clip.subtracted(area) : FDc.Clip.intersected(area);
    }

    void CombineClip(const QPainterPath& deviceArea, int mode) {
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

    void ResetClip() {
        FDc.Clip = QPainterPath();
        FDc.Clip.addRect(FDestination);
    }

    // ---- Painting

    // Pens are sized in destination pixels whatever the painter's transform:
    // a width of 0 is one pixel, others scale with the picture.
    QPen DevicePen(const TLogPen& logPen, double scale) const;

    QBrush DeviceBrush(const TLogBrush& logBrush) const;

    // How much the logical-to-device mapping enlarges lengths, on average.
    static double LengthScale(const QTransform& transform) {
        return std::sqrt(std::fabs(transform.determinant()));
    }

    // Hands the painter a clip (in destination pixels) unless it has it
    // already: turning a path into a clip is the dearest part of a small
    // drawing, and most records draw through the same clip as the last one.
    void SetPainterClip(const QPainterPath& clip);

    // Charges painting over a box of destination pixels, plus the rows that
    // the edges of a path cross on it (what scan conversion costs: a zigzag
    // of a hundred thousand points is dear, a long outline of short steps is
    // not); answers whether it may be painted.
    bool AffordPainting(const QRectF& device, const QPainterPath* path = nullptr,
                        const QTransform& transform = QTransform());

    void PreparePainter(const QTransform& transform, bool fill, bool stroke) {
        SetPainterClip(FDc.Clip);
        FPainter.setTransform(transform);
        FPainter.setPen(stroke ? DevicePen(FDc.Pen, LengthScale(transform)) : QPen(Qt::NoPen));
        FPainter.setBrush(fill ? DeviceBrush(FDc.Brush) : QBrush(Qt::NoBrush));
        FPainter.setBackgroundMode(FDc.BkOpaque ? Qt::OpaqueMode : Qt::TransparentMode);
        FPainter.setBackground(FDc.BkColor);
    }

    // Draws a shape given in logical coordinates, or adds it to the open
    // path; a shape that continues from the current position (connect)
    // continues the path's figure there.
    void DrawShape(QPainterPath shape, bool fill, bool stroke, bool connect = false) {
        const QTransform transform = LogicalToDevice();
        if (FInPath) {
            if (connect)
                FPath.connectPath(transform.map(shape));
            else
                FPath.addPath(transform.map(shape));
            return;
        }
        shape.setFillRule(FDc.FillRule);
        if (!AffordPainting(transform.mapRect(shape.controlPointRect()), &shape, transform)) return;
        PreparePainter(transform, fill, stroke);
        FPainter.drawPath(shape);
    }

    // Draws the open path (already in destination pixels) and discards it.
    void DrawPath(bool fill, bool stroke) {
        QPainterPath path = FPath;
        FPath = QPainterPath();
        FInPath = false;
        path.setFillRule(FDc.FillRule);
        if (!AffordPainting(path.controlPointRect(), &path)) return;
        PreparePainter(QTransform(), fill, false);
        if (stroke) FPainter.setPen(DevicePen(FDc.Pen, LengthScale(LogicalToDevice())));
        FPainter.drawPath(path);
    }

    // Shapes exclude their right and bottom edges: a box of width w covers
    // w device pixels with its outline, w - 1 without one. Shrinking the box
    // by one device pixel gives both with the way Qt fills and strokes.
    QRectF ShapeBox(int left, int top, int right, int bottom) const {
        const QRectF logical = QRectF(QPointF(left, top), QPointF(right, bottom)).normalized();
        const QTransform transform = LogicalToDevice();
        if (transform.type() > QTransform::TxScale || !transform.isInvertible()) return logical;
        QRectF device = transform.mapRect(logical);
        if (device.width() < 1 || device.height() < 1) return logical;
        device.adjust(0, 0, -1, -1);
        return transform.inverted().mapRect(device);
    }

    void Rectangle(int left, int top, int right, int bottom) {
        QPainterPath shape;
        shape.addRect(ShapeBox(left, top, right, bottom));
        DrawShape(shape, true, true);
    }

    void Ellipse(int left, int top, int right, int bottom) {
        QPainterPath shape;
        shape.addEllipse(ShapeBox(left, top, right, bottom));
        DrawShape(shape, true, true);
    }

    void RoundRect(int left, int top, int right, int bottom, int cornerWidth, int cornerHeight) {
        QPainterPath shape;
        shape.addRoundedRect(ShapeBox(left, top, right, bottom), std::fabs(cornerWidth) / 2.0,
                             std::fabs(cornerHeight) / 2.0);
        DrawShape(shape, true, true);
    }

    enum class TArcKind { Arc, ArcTo, Chord, Pie };

    // Arcs run counter-clockwise on the screen unless the direction says
    // otherwise; a mapping that flips the picture flips the logical direction.
    void ArcShape(TArcKind kind, int left, int top, int right, int bottom, QPointF start, QPointF end);

    void AngleArc(QPointF centre, double radius, double startAngle, double sweepAngle);

    void LineTo(QPointF point) {
        QPainterPath shape;
        shape.moveTo(FDc.Position);
        shape.lineTo(point);
        FDc.Position = point;
        DrawShape(shape, false, true, true);
    }

    void MoveTo(QPointF point) {
        FDc.Position = point;
        if (FInPath) FPath.moveTo(LogicalToDevice().map(point));
    }

    void Poly(const QPolygonF& points, bool closed) {
        if (points.isEmpty()) return;
        QPainterPath shape;
        shape.addPolygon(points);
        if (closed) shape.closeSubpath();
        DrawShape(shape, closed, true);
    }

    void PolyTo(const QPolygonF& points) {
        if (points.isEmpty()) return;
        QPainterPath shape;
        shape.moveTo(FDc.Position);
        for (const QPointF& p : points)
            shape.lineTo(p);
        FDc.Position = points.back();
        DrawShape(shape, false, true, true);
    }

    void PolyPolygon(const std::vector<QPolygonF>& polygons, bool closed) {
        QPainterPath shape;
        for (const QPolygonF& polygon : polygons) {
            if (polygon.isEmpty()) continue;
            shape.addPolygon(polygon);
            if (closed) shape.closeSubpath();
        }
        DrawShape(shape, closed, true);
    }

    // Cubic Bézier segments; with "to", the current position is the first point.
    void PolyBezier(QPolygonF points, bool to) {
        if (to) points.prepend(FDc.Position);
        if (points.size() < 4) return;
        QPainterPath shape;
        shape.moveTo(points[0]);
        qsizetype i = 1;
        for (; i + 2 < points.size(); i += 3)
            shape.cubicTo(points[i], points[i + 1], points[i + 2]);
        if (to) FDc.Position = points[i - 1];
        DrawShape(shape, false, true, to);
    }

    void SetPixel(QPointF point, QColor color) {
        const QPointF device = LogicalToDevice().map(point);
        SetPainterClip(FDc.Clip);
        FPainter.fillRect(QRectF(std::floor(device.x()), std::floor(device.y()), 1, 1), color);
    }

    // ---- Text

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

    void DrawText(QPointF reference, const QString& text, const std::vector<double>& dx, uint32_t options,
                  const std::optional<QRectF>& box);

    void PaintTextRun(const QString& text, const TTextRun& run, const QFontMetricsF& metrics);

    // ---- Bitmaps

    enum : uint32_t {
        SRCCOPY = 0x00CC0020,
        SRCPAINT = 0x00EE0086,
        SRCAND = 0x008800C6,
        SRCINVERT = 0x00660046,
        PATCOPY = 0x00F00021,
        BLACKNESS = 0x00000042,
        WHITENESS = 0x00FF0062
    };

    // A block transfer without a source: the raster operation fills the area.
    void FillBlock(const QRectF& logical, uint32_t rop) {
        const QTransform transform = LogicalToDevice();
        if (!AffordPainting(transform.mapRect(logical))) return;
        PreparePainter(transform, false, false);
        if (rop == BLACKNESS)
            FPainter.fillRect(logical, Qt::black);
        else if (rop == WHITENESS)
            FPainter.fillRect(logical, Qt::white);
        else if (rop == PATCOPY && FDc.Brush.Style != BS_NULL)
            FPainter.fillRect(logical, DeviceBrush(FDc.Brush));
    }

    void DrawBitmap(const QImage& image, QRectF target, QRectF source, uint32_t rop);

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

// count points of two signed coordinates of coordinateSize (2 or 4) bytes each.
QPolygonF ReadPoints(const TRecord& record, size_t offset, uint32_t count, size_t coordinateSize);
inline QPolygonF ReadPoints32(const TRecord& record, size_t offset, uint32_t count) {
    return ReadPoints(record, offset, count, 4);
}
inline QPolygonF ReadPoints16(const TRecord& record, size_t offset, uint32_t count) {
    return ReadPoints(record, offset, count, 2);
}

// The canvas's pixels as a QImage, shared, not copied.
QImage WrapCanvas(TCanvas& canvas);
QRectF Destination(const TRect& rect);

} // namespace MetafileGdi
