#include "graphics/MetafilePlayer.h"

#include "app/Gbk.h"
#include "graphics/Bitmap.h"
#include "graphics/Metafile.h"

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

namespace {

// ---- Bounds-checked record access

// Thrown when a record is shorter than what it claims to hold; the record is skipped.
struct TShortRecord {};

class TRecord {
  public:
    TRecord(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    size_t Size() const { return FSize; }
    bool Has(size_t offset, size_t count) const { return offset <= FSize && count <= FSize - offset; }
    void Need(size_t offset, size_t count) const {
        if (!Has(offset, count)) throw TShortRecord{};
    }
    const uint8_t* Bytes(size_t offset, size_t count) const {
        Need(offset, count);
        return FData + offset;
    }
    uint16_t U16(size_t offset) const {
        const uint8_t* p = Bytes(offset, 2);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    int16_t I16(size_t offset) const { return static_cast<int16_t>(U16(offset)); }
    uint32_t U32(size_t offset) const {
        const uint8_t* p = Bytes(offset, 4);
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
    int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
    float F32(size_t offset) const {
        const uint32_t bits = U32(offset);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // How many elements of elementSize fit from offset to the end (no multiplication).
    size_t Fits(size_t offset, size_t elementSize) const {
        return offset <= FSize ? (FSize - offset) / elementSize : 0;
    }

  private:
    const uint8_t* FData;
    size_t FSize;
};

QColor ColorRef(uint32_t value) {
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

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
std::optional<TGdiObject> StockObject(uint32_t index) {
    TGdiObject object;
    auto brush = [&](QColor color, int style = BS_SOLID) {
        object.Kind = TGdiObject::TKind::Brush;
        object.Brush.Color = color;
        object.Brush.Style = style;
        return object;
    };
    auto pen = [&](QColor color, int style = PS_SOLID) {
        object.Kind = TGdiObject::TKind::Pen;
        object.Pen.Color = color;
        object.Pen.Style = style;
        return object;
    };
    switch (index) {
    case 0:
    case 18:
        return brush(Qt::white);
    case 1:
        return brush(QColor(0xC0, 0xC0, 0xC0));
    case 2:
        return brush(QColor(0x80, 0x80, 0x80));
    case 3:
        return brush(QColor(0x40, 0x40, 0x40));
    case 4:
        return brush(Qt::black);
    case 5:
        return brush(Qt::white, BS_NULL);
    case 6:
        return pen(Qt::white);
    case 7:
    case 19:
        return pen(Qt::black);
    case 8:
        return pen(Qt::black, PS_NULL);
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 16:
    case 17:
        object.Kind = TGdiObject::TKind::Font;
        return object;
    default:
        return std::nullopt;
    }
}

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
                 TPlaybackBudget& budget) {
    if (infoSize < 12) return QImage();
    const TRecord header(info, infoSize);
    int64_t width, height;
    if (header.U32(0) == 12) {
        width = header.I16(4);
        height = header.I16(6);
    } else {
        if (infoSize < 16) return QImage();
        width = header.I32(4);
        height = header.I32(8);
    }
    const int64_t pixels = CheckedPixelCount(std::abs(width), std::abs(height));
    if (pixels < 0 || pixels > MaxDibPixels || !budget.Spend(pixels * TPlaybackBudget::PerDibPixel))
        return QImage();
    const uint64_t total = 14 + uint64_t(infoSize) + bitsSize;
    if (total > UINT32_MAX) return QImage();
    TMemoryStream stream;
    // The file header: "BM", the file size, two reserved words, the offset of the bits.
    const uint32_t headerWords[3] = {uint32_t(total), 0, uint32_t(14 + infoSize)};
    uint8_t fileHeader[14] = {'B', 'M'};
    for (int i = 0; i < 12; ++i)
        fileHeader[2 + i] = uint8_t(headerWords[i / 4] >> (8 * (i % 4)));
    stream.WriteBuffer(fileHeader, sizeof fileHeader);
    stream.WriteBuffer(info, static_cast<int64_t>(infoSize));
    if (bitsSize) stream.WriteBuffer(bits, static_cast<int64_t>(bitsSize));
    stream.SetPosition(0);
    TBitmap bitmap;
    try {
        bitmap.ReadPicture(stream);
    } catch (const Exception&) {
        return QImage();
    }
    if (bitmap.Empty()) return QImage();
    QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_ARGB32);
    if (image.isNull()) return QImage();
    for (int y = 0; y < bitmap.Height(); ++y)
        bitmap.RowToColor32(y, reinterpret_cast<TColor32*>(image.scanLine(y)));
    return image;
}

// Rows of a bitmap with a positive height are stored bottom-up, and source
// rectangles count their rows from the bottom.
bool DibBottomUp(const TRecord& info) {
    if (!info.Has(0, 12)) return false;
    return info.U32(0) == 12 ? info.I16(6) > 0 : info.Has(8, 4) && info.I32(8) > 0;
}

// Size of the header and colour table of a packed DIB, so that its bits can
// be found; 0 when the header is broken.
size_t PackedDibInfoSize(const TRecord& dib) {
    if (!dib.Has(0, 12)) return 0;
    const uint32_t headerSize = dib.U32(0);
    if (headerSize == 12) {
        const int bits = dib.U16(10);
        const size_t colours = bits <= 8 ? size_t(1) << bits : 0;
        return 12 + colours * 3;
    }
    if (headerSize < 40 || !dib.Has(0, 40)) return 0;
    const int bits = dib.U16(14);
    const uint32_t compression = dib.U32(16);
    uint32_t colours = dib.U32(32);
    if (colours == 0 && bits <= 8) colours = 1u << bits;
    if (colours > 256 && bits <= 8) colours = 256;
    if (colours > (1u << 16)) return 0;
    size_t size = headerSize + size_t(colours) * 4;
    if (headerSize == 40 && compression == 3) size += 12; // colour masks
    return size;
}

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
    // Logical coordinates to destination pixels.
    QTransform LogicalToDevice() const { return FDc.World * PageToReference() * FReferenceToDestination; }

    QTransform PageToReference() const {
        double sx = 1, sy = 1;
        const auto fixed = [&](double mmPerUnit) {
            sx = mmPerUnit * FPixelsPerMM.width();
            sy = -mmPerUnit * FPixelsPerMM.height();
        };
        switch (FDc.MapMode) {
        case MM_LOMETRIC:
            fixed(0.1);
            break;
        case MM_HIMETRIC:
            fixed(0.01);
            break;
        case MM_LOENGLISH:
            fixed(0.254);
            break;
        case MM_HIENGLISH:
            fixed(0.0254);
            break;
        case MM_TWIPS:
            fixed(25.4 / 1440);
            break;
        case MM_ISOTROPIC:
        case MM_ANISOTROPIC:
            sx = FDc.WindowExt.x() != 0 ? FDc.ViewportExt.x() / FDc.WindowExt.x() : 1;
            sy = FDc.WindowExt.y() != 0 ? FDc.ViewportExt.y() / FDc.WindowExt.y() : 1;
            if (FDc.MapMode == MM_ISOTROPIC) {
                const double m = std::min(std::fabs(sx), std::fabs(sy));
                sx = std::copysign(m, sx);
                sy = std::copysign(m, sy);
            }
            break;
        default:
            break;
        }
        return QTransform(sx, 0, 0, sy, FDc.ViewportOrg.x() - FDc.WindowOrg.x() * sx,
                          FDc.ViewportOrg.y() - FDc.WindowOrg.y() * sy);
    }

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
    QPen DevicePen(const TLogPen& logPen, double scale) const {
        if (logPen.Style == PS_NULL) return Qt::NoPen;
        QPen pen(logPen.Color);
        pen.setCosmetic(true);
        const double width = logPen.Width * scale;
        // Qt refuses widths from 32768 on; NaN too ends as one pixel.
        pen.setWidthF(width > 1 ? std::min(width, 32767.0) : 0);
        pen.setCapStyle(logPen.Cap);
        pen.setJoinStyle(logPen.Join);
        // Styled lines exist only for thin pens; wide ones are drawn solid.
        if (logPen.Width <= 1) {
            static const Qt::PenStyle styles[] = {Qt::SolidLine,   Qt::DashLine,       Qt::DotLine,
                                                  Qt::DashDotLine, Qt::DashDotDotLine, Qt::NoPen,
                                                  Qt::SolidLine};
            if (logPen.Style >= 0 && logPen.Style <= PS_INSIDEFRAME) pen.setStyle(styles[logPen.Style]);
        }
        return pen;
    }

    QBrush DeviceBrush(const TLogBrush& logBrush) const {
        switch (logBrush.Style) {
        case BS_SOLID:
            return QBrush(logBrush.Color);
        case BS_NULL:
            return Qt::NoBrush;
        case BS_HATCHED: {
            static const Qt::BrushStyle hatches[] = {Qt::HorPattern,   Qt::VerPattern,
                                                     Qt::FDiagPattern, Qt::BDiagPattern,
                                                     Qt::CrossPattern, Qt::DiagCrossPattern};
            const int hatch = logBrush.Hatch >= 0 && logBrush.Hatch <= 5 ? logBrush.Hatch : 0;
            return QBrush(logBrush.Color, hatches[hatch]);
        }
        default:
            if (!logBrush.Pattern.isNull()) return QBrush(logBrush.Pattern);
            return QBrush(logBrush.Color);
        }
    }

    // How much the logical-to-device mapping enlarges lengths, on average.
    static double LengthScale(const QTransform& transform) {
        return std::sqrt(std::fabs(transform.determinant()));
    }

    // Hands the painter a clip (in destination pixels) unless it has it
    // already: turning a path into a clip is the dearest part of a small
    // drawing, and most records draw through the same clip as the last one.
    void SetPainterClip(const QPainterPath& clip) {
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

    // Charges painting over a box of destination pixels, plus the rows that
    // the edges of a path cross on it (what scan conversion costs: a zigzag
    // of a hundred thousand points is dear, a long outline of short steps is
    // not); answers whether it may be painted.
    bool AffordPainting(const QRectF& device, const QPainterPath* path = nullptr,
                        const QTransform& transform = QTransform()) {
        const QRectF painted = device.normalized().intersected(FDestination);
        const double area = painted.isValid() ? painted.width() * painted.height() : 0;
        int64_t edgeRows = 0;
        if (path) {
            const double tallest = FDestination.height() + 1;
            double lastY = 0;
            for (int i = 0; i < path->elementCount(); ++i) {
                const QPainterPath::Element e = path->elementAt(i);
                const double y = transform.map(QPointF(e.x, e.y)).y();
                edgeRows += 1 + (e.isMoveTo() ? 0 : int64_t(std::min(std::fabs(y - lastY), tallest)));
                lastY = y;
            }
        }
        return FBudget.Spend(TPlaybackBudget::PerDrawing + int64_t(std::min(area, 1e12)) +
                             edgeRows * TPlaybackBudget::PerEdgeRow);
    }

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
    void ArcShape(TArcKind kind, int left, int top, int right, int bottom, QPointF start, QPointF end) {
        const QRectF box = ShapeBox(left, top, right, bottom);
        if (box.width() <= 0 || box.height() <= 0) return;
        const QPointF centre = box.center();
        const double rx = box.width() / 2, ry = box.height() / 2;
        const auto angleOf = [&](QPointF p) {
            return std::atan2(-(p.y() - centre.y()) / ry, (p.x() - centre.x()) / rx) * 180 / std::numbers::pi;
        };
        const double a0 = angleOf(start), a1 = angleOf(end);
        const bool qtPositive = FDc.Clockwise == (LogicalToDevice().determinant() < 0);
        double sweep = qtPositive ? std::fmod(a1 - a0 + 720, 360) : -std::fmod(a0 - a1 + 720, 360);
        if (sweep == 0) sweep = qtPositive ? 360 : -360;
        QPainterPath shape;
        if (kind == TArcKind::Pie) {
            shape.moveTo(centre);
            shape.arcTo(box, a0, sweep);
            shape.closeSubpath();
        } else if (kind == TArcKind::ArcTo) {
            shape.moveTo(FDc.Position);
            shape.arcTo(box, a0, sweep);
            FDc.Position = shape.currentPosition();
            return DrawShape(shape, false, true, true);
        } else {
            shape.arcMoveTo(box, a0);
            shape.arcTo(box, a0, sweep);
            if (kind == TArcKind::Chord) shape.closeSubpath();
        }
        const bool closed = kind == TArcKind::Chord || kind == TArcKind::Pie;
        DrawShape(shape, closed, true);
    }

    void AngleArc(QPointF centre, double radius, double startAngle, double sweepAngle) {
        if (!std::isfinite(startAngle) || !std::isfinite(sweepAngle)) return;
        const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        QPainterPath shape;
        shape.moveTo(FDc.Position);
        shape.arcTo(box, std::fmod(startAngle, 360), std::clamp(sweepAngle, -360.0, 360.0));
        FDc.Position = shape.currentPosition();
        DrawShape(shape, false, true, true);
    }

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
    std::optional<QFont> DeviceFont(double yScale) const {
        const TLogFont& lf = FDc.Font;
        double pixels = lf.Height == 0 ? 16 : std::fabs(double(lf.Height)) * yScale;
        if (!(pixels <= 2048)) return std::nullopt;
        QFont font(lf.Face.isEmpty() ? QStringLiteral("Sans Serif") : lf.Face);
        font.setPixelSize(std::max(1, int(std::lround(pixels))));
        if (lf.Height > 0) {
            // A positive height is the cell, leading included.
            const double cell = QFontMetricsF(font).height();
            if (cell > 0) font.setPixelSize(std::max(1, int(std::lround(pixels * pixels / cell))));
        }
        font.setWeight(static_cast<QFont::Weight>(std::clamp(lf.Weight == 0 ? 400 : lf.Weight, 1, 1000)));
        font.setItalic(lf.Italic);
        font.setUnderline(lf.Underline);
        font.setStrikeOut(lf.StrikeOut);
        return font;
    }

    // Where the characters of a text go, in destination pixels from its start.
    struct TTextRun {
        std::vector<double> Offsets; // empty: the font's own advances
        double Width = 0;
        QPointF Start; // left end of the baseline, relative to the reference point
    };

    TTextRun LayOutText(const QString& text, const std::vector<double>& dx, const QFontMetricsF& metrics,
                        double xScale) const {
        TTextRun run;
        if (dx.empty()) {
            run.Width = metrics.horizontalAdvance(text);
        } else {
            for (double step : dx) {
                run.Offsets.push_back(run.Width);
                run.Width += step * xScale;
            }
        }
        if ((FDc.TextAlign & TA_CENTER) == TA_CENTER)
            run.Start.setX(-run.Width / 2);
        else if (FDc.TextAlign & TA_RIGHT)
            run.Start.setX(-run.Width);
        if ((FDc.TextAlign & TA_BASELINE) == TA_BASELINE)
            run.Start.setY(0);
        else if (FDc.TextAlign & TA_BOTTOM)
            run.Start.setY(-metrics.descent());
        else
            run.Start.setY(metrics.ascent());
        return run;
    }

    void DrawText(QPointF reference, const QString& text, const std::vector<double>& dx, uint32_t options,
                  const std::optional<QRectF>& box) {
        if (!FCanDrawText || (options & ETO_GLYPH_INDEX)) return;
        const QTransform transform = LogicalToDevice();
        if (FDc.TextAlign & TA_UPDATECP) reference = FDc.Position;
        if (box && (options & ETO_OPAQUE) && AffordPainting(transform.mapRect(*box))) {
            PreparePainter(transform, false, false);
            FPainter.fillRect(*box, FDc.BkColor);
        }
        if (text.isEmpty()) return;
        // The height follows the vertical scale, which may differ from the horizontal one.
        const std::optional<QFont> font = DeviceFont(std::hypot(transform.m21(), transform.m22()));
        if (!font) return;
        const QFontMetricsF metrics(*font);
        // Every character is shaped and its glyph painted over its cell.
        const double glyph = metrics.height() * metrics.maxWidth();
        if (!FBudget.Spend(text.size() * (TPlaybackBudget::PerRecord + int64_t(std::min(glyph, 1e8)))))
            return;
        const double xScale = std::hypot(transform.m11(), transform.m12());
        const TTextRun run = LayOutText(text, dx, metrics, xScale);
        // Texts are laid out upright in destination pixels, turned only by the font's escapement.
        FPainter.setTransform(QTransform());
        QPainterPath clip = FDc.Clip;
        if (box && (options & ETO_CLIPPED)) {
            QPainterPath area;
            area.addPolygon(transform.map(QPolygonF(*box)));
            clip = clip.intersected(area);
        }
        SetPainterClip(clip);
        FPainter.translate(transform.map(reference));
        FPainter.rotate(-FDc.Font.Escapement / 10.0);
        FPainter.setFont(*font);
        PaintTextRun(text, run, metrics);
        if ((FDc.TextAlign & TA_UPDATECP) && xScale > 0) FDc.Position.rx() += run.Width / xScale;
    }

    void PaintTextRun(const QString& text, const TTextRun& run, const QFontMetricsF& metrics) {
        if (FDc.BkOpaque)
            FPainter.fillRect(
                QRectF(run.Start.x(), run.Start.y() - metrics.ascent(), run.Width, metrics.height()),
                FDc.BkColor);
        FPainter.setPen(FDc.TextColor);
        FPainter.setBackgroundMode(Qt::TransparentMode);
        if (run.Offsets.empty()) {
            FPainter.drawText(run.Start, text);
            return;
        }
        for (qsizetype i = 0; i < text.size() && size_t(i) < run.Offsets.size(); ++i)
            FPainter.drawText(run.Start + QPointF(run.Offsets[size_t(i)], 0), QString(text[i]));
    }

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

    void DrawBitmap(const QImage& image, QRectF target, QRectF source, uint32_t rop) {
        if (image.isNull() || target.isNull()) return;
        QImage picture = image;
        // Negative extents mirror the picture.
        const bool mirrorX = (target.width() < 0) != (source.width() < 0);
        const bool mirrorY = (target.height() < 0) != (source.height() < 0);
        target = target.normalized();
        source = source.normalized().intersected(QRectF(picture.rect()));
        if (source.isEmpty()) return;
        if (mirrorX || mirrorY) {
            picture = picture.copy(source.toAlignedRect()).mirrored(mirrorX, mirrorY);
            source = QRectF(picture.rect());
        }
        if (!AffordPainting(LogicalToDevice().mapRect(target))) return;
        PreparePainter(LogicalToDevice(), false, false);
        switch (rop) {
        case SRCAND:
            FPainter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
            break;
        case SRCPAINT:
            FPainter.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
            break;
        case SRCINVERT:
            FPainter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            break;
        default:
            break;
        }
        FPainter.drawImage(target, picture, source);
        FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }

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

QPolygonF ReadPoints32(const TRecord& record, size_t offset, uint32_t count) {
    if (count > record.Fits(offset, 8)) throw TShortRecord{};
    QPolygonF points;
    points.reserve(qsizetype(count));
    for (uint32_t i = 0; i < count; ++i)
        points.append(QPointF(record.I32(offset + 8 * size_t(i)), record.I32(offset + 8 * size_t(i) + 4)));
    return points;
}

QPolygonF ReadPoints16(const TRecord& record, size_t offset, uint32_t count) {
    if (count > record.Fits(offset, 4)) throw TShortRecord{};
    QPolygonF points;
    points.reserve(qsizetype(count));
    for (uint32_t i = 0; i < count; ++i)
        points.append(QPointF(record.I16(offset + 4 * size_t(i)), record.I16(offset + 4 * size_t(i) + 2)));
    return points;
}

// ---- Enhanced metafiles

class TEmfPlayback : public TGdiPlayback {
  public:
    TEmfPlayback(QPainter& painter, const QRectF& destination, const TRecord& file)
        : TGdiPlayback(painter, destination), FFile(file) {}

    void Play() {
        if (!ReadHeader()) return;
        size_t offset = 0;
        while (FFile.Has(offset, 8)) {
            const uint32_t type = FFile.U32(offset), size = FFile.U32(offset + 4);
            if (size < 8 || !FFile.Has(offset, size)) break;
            const TRecord record(FFile.Bytes(offset, size), size);
            if (!FBudget.Spend(TPlaybackBudget::PerRecord)) break;
            try {
                PlayRecord(type, record);
            } catch (const TShortRecord&) {
            }
            if (type == 14) break; // EMR_EOF
            offset += size;
        }
    }

  private:
    // The frame (0.01 mm) is turned into reference-device pixels and mapped onto the destination.
    bool ReadHeader() {
        if (!FFile.Has(0, 88) || FFile.U32(0) != 1) return false;
        const double deviceX = FFile.I32(72), deviceY = FFile.I32(76);
        const double mmX = FFile.I32(80), mmY = FFile.I32(84);
        if (deviceX > 0 && deviceY > 0 && mmX > 0 && mmY > 0)
            FPixelsPerMM = QSizeF(deviceX / mmX, deviceY / mmY);
        QRectF frame(
            QPointF(FFile.I32(24) * FPixelsPerMM.width() / 100, FFile.I32(28) * FPixelsPerMM.height() / 100),
            QPointF(FFile.I32(32) * FPixelsPerMM.width() / 100, FFile.I32(36) * FPixelsPerMM.height() / 100));
        if (frame.width() <= 0 || frame.height() <= 0)
            frame = QRectF(QPointF(FFile.I32(8), FFile.I32(12)),
                           QPointF(FFile.I32(16) + 1.0, FFile.I32(20) + 1.0));
        if (frame.width() <= 0 || frame.height() <= 0) return false;
        FReferenceToDestination = QTransform::fromTranslate(-frame.left(), -frame.top()) *
                                  QTransform::fromScale(FDestination.width() / frame.width(),
                                                        FDestination.height() / frame.height()) *
                                  QTransform::fromTranslate(FDestination.left(), FDestination.top());
        ResizeObjectTable(FFile.U16(56));
        return true;
    }

    void PlayRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 2: // EMR_POLYBEZIER
            return PolyBezier(ReadPoints32(r, 28, r.U32(24)), false);
        case 3: // EMR_POLYGON
            return Poly(ReadPoints32(r, 28, r.U32(24)), true);
        case 4: // EMR_POLYLINE
            return Poly(ReadPoints32(r, 28, r.U32(24)), false);
        case 5: // EMR_POLYBEZIERTO
            return PolyBezier(ReadPoints32(r, 28, r.U32(24)), true);
        case 6: // EMR_POLYLINETO
            return PolyTo(ReadPoints32(r, 28, r.U32(24)));
        case 7: // EMR_POLYPOLYLINE
        case 8: // EMR_POLYPOLYGON
            return PolyPolygon(ReadPolyPolygon(r, 8), type == 8);
        case 85: // EMR_POLYBEZIER16
            return PolyBezier(ReadPoints16(r, 28, r.U32(24)), false);
        case 86: // EMR_POLYGON16
            return Poly(ReadPoints16(r, 28, r.U32(24)), true);
        case 87: // EMR_POLYLINE16
            return Poly(ReadPoints16(r, 28, r.U32(24)), false);
        case 88: // EMR_POLYBEZIERTO16
            return PolyBezier(ReadPoints16(r, 28, r.U32(24)), true);
        case 89: // EMR_POLYLINETO16
            return PolyTo(ReadPoints16(r, 28, r.U32(24)));
        case 90: // EMR_POLYPOLYLINE16
        case 91: // EMR_POLYPOLYGON16
            return PolyPolygon(ReadPolyPolygon(r, 4), type == 91);
        default:
            return PlayStateRecord(type, r);
        }
    }

    std::vector<QPolygonF> ReadPolyPolygon(const TRecord& r, size_t pointSize) {
        const uint32_t polygons = r.U32(24), total = r.U32(28);
        if (polygons > r.Fits(32, 4)) throw TShortRecord{};
        const size_t pointsAt = 32 + 4 * size_t(polygons);
        if (total > r.Fits(pointsAt, pointSize)) throw TShortRecord{};
        std::vector<QPolygonF> result;
        size_t next = 0;
        for (uint32_t i = 0; i < polygons; ++i) {
            const uint32_t count = r.U32(32 + 4 * size_t(i));
            if (count > total - next) throw TShortRecord{};
            const size_t at = pointsAt + next * pointSize;
            result.push_back(pointSize == 8 ? ReadPoints32(r, at, count) : ReadPoints16(r, at, count));
            next += count;
        }
        return result;
    }

    static QPointF Point(const TRecord& r, size_t offset) {
        return QPointF(r.I32(offset), r.I32(offset + 4));
    }

    void PlayStateRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 9: // EMR_SETWINDOWEXTEX
            FDc.WindowExt = Point(r, 8);
            break;
        case 10: // EMR_SETWINDOWORGEX
            FDc.WindowOrg = Point(r, 8);
            break;
        case 11: // EMR_SETVIEWPORTEXTEX
            FDc.ViewportExt = Point(r, 8);
            break;
        case 12: // EMR_SETVIEWPORTORGEX
            FDc.ViewportOrg = Point(r, 8);
            break;
        case 15: // EMR_SETPIXELV
            SetPixel(Point(r, 8), ColorRef(r.U32(16)));
            break;
        case 17: // EMR_SETMAPMODE
            FDc.MapMode = r.I32(8);
            break;
        case 18: // EMR_SETBKMODE
            FDc.BkOpaque = r.U32(8) == 2;
            break;
        case 19: // EMR_SETPOLYFILLMODE
            FDc.FillRule = r.U32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case 22: // EMR_SETTEXTALIGN
            FDc.TextAlign = r.U32(8);
            break;
        case 24: // EMR_SETTEXTCOLOR
            FDc.TextColor = ColorRef(r.U32(8));
            break;
        case 25: // EMR_SETBKCOLOR
            FDc.BkColor = ColorRef(r.U32(8));
            break;
        case 27: // EMR_MOVETOEX
            MoveTo(Point(r, 8));
            break;
        case 29: // EMR_EXCLUDECLIPRECT
        case 30: // EMR_INTERSECTCLIPRECT
            IntersectClip(QRectF(Point(r, 8), Point(r, 16)).normalized(), type == 29);
            break;
        case 31: // EMR_SCALEVIEWPORTEXTEX
        case 32: // EMR_SCALEWINDOWEXTEX
            ScaleExtent(type == 31 ? FDc.ViewportExt : FDc.WindowExt, r);
            break;
        case 33: // EMR_SAVEDC
            SaveDC();
            break;
        case 34: // EMR_RESTOREDC
            RestoreDC(r.I32(8));
            break;
        case 35: // EMR_SETWORLDTRANSFORM
            SetWorldTransform(ReadXForm(r, 8));
            break;
        case 36: // EMR_MODIFYWORLDTRANSFORM
            ModifyWorldTransform(ReadXForm(r, 8), r.U32(32));
            break;
        default:
            PlayObjectRecord(type, r);
            break;
        }
    }

    static void ScaleExtent(QPointF& extent, const TRecord& r) {
        const int32_t xNum = r.I32(8), xDenom = r.I32(12), yNum = r.I32(16), yDenom = r.I32(20);
        if (xDenom == 0 || yDenom == 0) return;
        extent = QPointF(extent.x() * xNum / xDenom, extent.y() * yNum / yDenom);
    }

    static QTransform ReadXForm(const TRecord& r, size_t offset) {
        return QTransform(r.F32(offset), r.F32(offset + 4), r.F32(offset + 8), r.F32(offset + 12),
                          r.F32(offset + 16), r.F32(offset + 20));
    }

    void ModifyWorldTransform(const QTransform& transform, uint32_t mode) {
        switch (mode) {
        case 1: // MWT_IDENTITY
            FDc.World = QTransform();
            break;
        case 2: // MWT_LEFTMULTIPLY: the new transform applies first
            SetWorldTransform(transform * FDc.World);
            break;
        case 3: // MWT_RIGHTMULTIPLY
            SetWorldTransform(FDc.World * transform);
            break;
        case 4: // MWT_SET
            SetWorldTransform(transform);
            break;
        }
    }

    void PlayObjectRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 37: // EMR_SELECTOBJECT
            SelectObjectAt(r.U32(8));
            break;
        case 38: // EMR_CREATEPEN
            StoreObject(r.U32(8), PenObject(MakeLogPen(r.I32(12), r.I32(16), ColorRef(r.U32(24)))));
            break;
        case 39: // EMR_CREATEBRUSHINDIRECT
            StoreObject(r.U32(8), BrushObject(int(r.U32(12)), ColorRef(r.U32(16)), int(r.U32(20))));
            break;
        case 40: // EMR_DELETEOBJECT
            DeleteObject(r.U32(8));
            break;
        case 82: // EMR_EXTCREATEFONTINDIRECTW
            StoreObject(r.U32(8), FontObject(ReadLogFont(r)));
            break;
        case 93: // EMR_CREATEMONOBRUSH
        case 94: // EMR_CREATEDIBPATTERNBRUSHPT
            StoreObject(r.U32(8), BrushObject(5, Qt::black, 0, Dib(r, 16, 20, 24, 28)));
            break;
        case 95: // EMR_EXTCREATEPEN
            StoreObject(r.U32(8), PenObject(ReadExtPen(r)));
            break;
        default:
            PlayShapeRecord(type, r);
            break;
        }
    }

    TLogFont ReadLogFont(const TRecord& r) {
        TLogFont font;
        font.Height = r.I32(12);
        font.Escapement = r.I32(20);
        font.Weight = r.I32(28);
        font.Italic = r.Bytes(32, 1)[0] != 0;
        font.Underline = r.Bytes(33, 1)[0] != 0;
        font.StrikeOut = r.Bytes(34, 1)[0] != 0;
        std::u16string face;
        for (size_t i = 0; i < 32 && r.Has(40 + 2 * i, 2); ++i) {
            const char16_t c = char16_t(r.U16(40 + 2 * i));
            if (c == 0) break;
            face.push_back(c);
        }
        font.Face = QString::fromStdU16String(face);
        return font;
    }

    TLogPen ReadExtPen(const TRecord& r) {
        const uint32_t style = r.U32(28);
        const bool geometric = (style & 0x000F0000u) == 0x00010000u;
        TLogPen pen =
            MakeLogPen(int(style & 0xFFFF), geometric ? double(r.U32(32)) : 0.0, ColorRef(r.U32(40)));
        if (r.U32(36) == BS_NULL) pen.Style = PS_NULL;
        return pen;
    }

    // A bitmap given by offsets and sizes of its header and bits within the record.
    QImage Dib(const TRecord& r, size_t offInfo, size_t sizeInfo, size_t offBits, size_t sizeBits) {
        const uint32_t infoAt = r.U32(offInfo), infoSize = r.U32(sizeInfo);
        const uint32_t bitsAt = r.U32(offBits), bitsSize = r.U32(sizeBits);
        if (infoSize == 0 || !r.Has(infoAt, infoSize) || !r.Has(bitsAt, bitsSize)) return QImage();
        return DecodeDib(r.Bytes(infoAt, infoSize), infoSize, bitsSize ? r.Bytes(bitsAt, bitsSize) : nullptr,
                         bitsSize, FBudget);
    }

    void PlayShapeRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 41: // EMR_ANGLEARC
            AngleArc(Point(r, 8), r.U32(16), r.F32(20), r.F32(24));
            break;
        case 42: // EMR_ELLIPSE
            Ellipse(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
            break;
        case 43: // EMR_RECTANGLE
            Rectangle(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
            break;
        case 44: // EMR_ROUNDRECT
            RoundRect(r.I32(8), r.I32(12), r.I32(16), r.I32(20), r.I32(24), r.I32(28));
            break;
        case 45: // EMR_ARC
        case 46: // EMR_CHORD
        case 47: // EMR_PIE
        case 55: // EMR_ARCTO
        {
            const TArcKind kind = type == 45   ? TArcKind::Arc
                                  : type == 46 ? TArcKind::Chord
                                  : type == 47 ? TArcKind::Pie
                                               : TArcKind::ArcTo;
            ArcShape(kind, r.I32(8), r.I32(12), r.I32(16), r.I32(20), Point(r, 24), Point(r, 32));
            break;
        }
        case 54: // EMR_LINETO
            LineTo(Point(r, 8));
            break;
        case 57: // EMR_SETARCDIRECTION
            FDc.Clockwise = r.U32(8) == 2;
            break;
        default:
            PlayPathRecord(type, r);
            break;
        }
    }

    void PlayPathRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 59: // EMR_BEGINPATH
            FInPath = true;
            FPath = QPainterPath();
            FPath.moveTo(LogicalToDevice().map(FDc.Position));
            break;
        case 60: // EMR_ENDPATH
            FInPath = false;
            break;
        case 61: // EMR_CLOSEFIGURE
            if (FInPath) FPath.closeSubpath();
            break;
        case 62: // EMR_FILLPATH
            DrawPath(true, false);
            break;
        case 63: // EMR_STROKEANDFILLPATH
            DrawPath(true, true);
            break;
        case 64: // EMR_STROKEPATH
            DrawPath(false, true);
            break;
        case 67: // EMR_SELECTCLIPPATH
            CombineClip(FPath, r.I32(8));
            FPath = QPainterPath();
            FInPath = false;
            break;
        case 68: // EMR_ABORTPATH
            FPath = QPainterPath();
            FInPath = false;
            break;
        default:
            PlayOutputRecord(type, r);
            break;
        }
    }

    void PlayOutputRecord(uint32_t type, const TRecord& r) {
        switch (type) {
        case 75: // EMR_EXTSELECTCLIPRGN
            SelectClipRegion(r);
            break;
        case 76: // EMR_BITBLT
        case 77: // EMR_STRETCHBLT
            BitBlt(r, type == 77);
            break;
        case 81: // EMR_STRETCHDIBITS
            StretchDIBits(r);
            break;
        case 84: // EMR_EXTTEXTOUTW
            ExtTextOutW(r);
            break;
        default:
            break;
        }
    }

    // Region rectangles are in reference-device pixels.
    void SelectClipRegion(const TRecord& r) {
        const uint32_t dataSize = r.U32(8);
        const int mode = r.I32(12);
        if (dataSize == 0) {
            if (mode == RGN_COPY) ResetClip();
            return;
        }
        const uint32_t count = r.U32(16 + 8);
        if (count > r.Fits(16 + 32, 16)) return;
        if (!FBudget.Spend(int64_t(count) * TPlaybackBudget::PerClipElement * 4)) return;
        QPainterPath area;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t at = 16 + 32 + 16 * size_t(i);
            const QRectF rect(QPointF(r.I32(at), r.I32(at + 4)), QPointF(r.I32(at + 8), r.I32(at + 12)));
            area.addPolygon(FReferenceToDestination.map(QPolygonF(rect.normalized())));
            area.closeSubpath();
        }
        area.setFillRule(Qt::WindingFill);
        CombineClip(area.simplified(), mode);
    }

    void BitBlt(const TRecord& r, bool stretch) {
        const QRectF target(r.I32(24), r.I32(28), r.I32(32), r.I32(36));
        const uint32_t rop = r.U32(40);
        if (r.U32(88) == 0) return FillBlock(target.normalized(), rop); // no source bitmap
        const QImage image = Dib(r, 84, 88, 92, 96);
        const QSizeF sourceSize = stretch ? QSizeF(r.I32(100), r.I32(104)) : target.size();
        // The source transform of a blit is assumed to be the identity.
        DrawBitmap(image, target, QRectF(QPointF(r.I32(44), r.I32(48)), sourceSize), rop);
    }

    void StretchDIBits(const TRecord& r) {
        const QImage image = Dib(r, 48, 52, 56, 60);
        if (image.isNull()) return;
        const QRectF target(r.I32(24), r.I32(28), r.I32(72), r.I32(76));
        const double xSrc = r.I32(32), ySrc = r.I32(36), cxSrc = r.I32(40), cySrc = r.I32(44);
        // A bottom-up bitmap counts its source rows from the bottom.
        const TRecord info(r.Bytes(r.U32(48), r.U32(52)), r.U32(52));
        const bool bottomUp = DibBottomUp(info);
        const double top = bottomUp ? image.height() - ySrc - cySrc : ySrc;
        DrawBitmap(image, target, QRectF(xSrc, top, cxSrc, cySrc), r.U32(68));
    }

    void ExtTextOutW(const TRecord& r) {
        const QPointF reference = Point(r, 36);
        const uint32_t count = r.U32(44), at = r.U32(48), options = r.U32(52);
        const QRectF box = QRectF(Point(r, 56), Point(r, 64)).normalized();
        if (count > r.Fits(at, 2)) return;
        std::u16string text;
        for (uint32_t i = 0; i < count; ++i)
            text.push_back(char16_t(r.U16(at + 2 * size_t(i))));
        std::vector<double> dx;
        const uint32_t dxAt = r.U32(72);
        const size_t stride = (options & ETO_PDY) ? 8 : 4;
        if (dxAt != 0 && count <= r.Fits(dxAt, stride))
            for (uint32_t i = 0; i < count; ++i)
                dx.push_back(r.I32(dxAt + stride * size_t(i)));
        const bool hasBox = box.width() > 0 && box.height() > 0;
        DrawText(reference, QString::fromStdU16String(text), dx, options,
                 hasBox ? std::optional<QRectF>(box) : std::nullopt);
    }

    const TRecord& FFile;
};

// ---- Windows metafiles

class TWmfPlayback : public TGdiPlayback {
  public:
    TWmfPlayback(QPainter& painter, const QRectF& destination, const TRecord& file, const TRect& bounds)
        : TGdiPlayback(painter, destination), FFile(file) {
        // The logical window (the placeable box until the file sets its own)
        // fills the destination.
        FDc.MapMode = MM_ANISOTROPIC;
        FDc.WindowOrg = QPointF(bounds.Left, bounds.Top);
        FDc.WindowExt = QPointF(bounds.Width(), bounds.Height());
        FDc.ViewportOrg = destination.topLeft();
        FDc.ViewportExt = QPointF(destination.width(), destination.height());
    }

    void Play() {
        if (!FFile.Has(0, 18)) return;
        ResizeObjectTable(FFile.U16(10));
        size_t offset = size_t(FFile.U16(2)) * 2;
        if (offset < 18) offset = 18;
        while (FFile.Has(offset, 6)) {
            const uint64_t size = uint64_t(FFile.U32(offset)) * 2;
            const uint16_t function = FFile.U16(offset + 4);
            if (size < 6 || !FFile.Has(offset, size_t(size))) break;
            if (function == 0) break; // META_EOF
            const TRecord record(FFile.Bytes(offset, size_t(size)), size_t(size));
            if (!FBudget.Spend(TPlaybackBudget::PerRecord)) break;
            try {
                PlayRecord(function, record);
            } catch (const TShortRecord&) {
            }
            offset += size_t(size);
        }
    }

  private:
    // Parameters follow the 6-byte record head, as 16-bit words.
    static int P(const TRecord& r, size_t index) { return r.I16(6 + 2 * index); }
    static uint32_t P32(const TRecord& r, size_t index) { return r.U32(6 + 2 * index); }
    static QPointF YX(const TRecord& r, size_t index) { return QPointF(P(r, index + 1), P(r, index)); }

    void PlayRecord(uint16_t function, const TRecord& r) {
        switch (function) {
        case 0x0201: // META_SETBKCOLOR
            FDc.BkColor = ColorRef(P32(r, 0));
            break;
        case 0x0102: // META_SETBKMODE
            FDc.BkOpaque = P(r, 0) == 2;
            break;
        case 0x0106: // META_SETPOLYFILLMODE
            FDc.FillRule = P(r, 0) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case 0x0209: // META_SETTEXTCOLOR
            FDc.TextColor = ColorRef(P32(r, 0));
            break;
        case 0x012E: // META_SETTEXTALIGN
            FDc.TextAlign = uint16_t(P(r, 0));
            break;
        case 0x020B: // META_SETWINDOWORG
            FDc.WindowOrg = YX(r, 0);
            break;
        case 0x020C: // META_SETWINDOWEXT
            FDc.WindowExt = YX(r, 0);
            break;
        case 0x020F: // META_OFFSETWINDOWORG
            FDc.WindowOrg += YX(r, 0);
            break;
        case 0x0410: // META_SCALEWINDOWEXT
            if (P(r, 0) != 0 && P(r, 2) != 0)
                FDc.WindowExt =
                    QPointF(FDc.WindowExt.x() * P(r, 3) / P(r, 2), FDc.WindowExt.y() * P(r, 1) / P(r, 0));
            break;
        case 0x001E: // META_SAVEDC
            SaveDC();
            break;
        case 0x0127: // META_RESTOREDC
            RestoreDC(P(r, 0));
            break;
        default:
            PlayObjectRecord(function, r);
            break;
        }
    }

    void PlayObjectRecord(uint16_t function, const TRecord& r) {
        switch (function) {
        case 0x012D: // META_SELECTOBJECT
            SelectObjectAt(uint16_t(P(r, 0)));
            break;
        case 0x01F0: // META_DELETEOBJECT
            DeleteObject(uint16_t(P(r, 0)));
            break;
        case 0x02FA: // META_CREATEPENINDIRECT
            AddObject(PenObject(MakeLogPen(uint16_t(P(r, 0)), P(r, 1), ColorRef(P32(r, 3)))));
            break;
        case 0x02FC: // META_CREATEBRUSHINDIRECT
            AddObject(BrushObject(uint16_t(P(r, 0)), ColorRef(P32(r, 1)), P(r, 3)));
            break;
        case 0x02FB: // META_CREATEFONTINDIRECT
            AddObject(FontObject(ReadLogFont(r)));
            break;
        case 0x0142: { // META_DIBCREATEPATTERNBRUSH
            const TRecord dib(r.Bytes(10, r.Size() - 10), r.Size() - 10);
            AddObject(BrushObject(5, Qt::black, 0, PackedDib(dib)));
            break;
        }
        case 0x01F9: // META_CREATEPATTERNBRUSH
        case 0x00F7: // META_CREATEPALETTE
        case 0x06FF: // META_CREATEREGION
            // Not drawn, but they take a slot like every object.
            AddObject(function == 0x01F9 ? BrushObject(BS_SOLID, Qt::black, 0) : TGdiObject{});
            break;
        default:
            PlayShapeRecord(function, r);
            break;
        }
    }

    TLogFont ReadLogFont(const TRecord& r) {
        TLogFont font;
        font.Height = P(r, 0);
        font.Escapement = P(r, 2);
        font.Weight = P(r, 4);
        const uint8_t* flags = r.Bytes(16, 3);
        font.Italic = flags[0] != 0;
        font.Underline = flags[1] != 0;
        font.StrikeOut = flags[2] != 0;
        std::string face;
        for (size_t i = 24; i < 24 + 32 && r.Has(i, 1) && r.Bytes(i, 1)[0] != 0; ++i)
            face.push_back(char(r.Bytes(i, 1)[0]));
        font.Face = QString::fromStdU16String(GbkToUtf16(face));
        return font;
    }

    QImage PackedDib(const TRecord& dib) {
        const size_t infoSize = PackedDibInfoSize(dib);
        if (infoSize == 0 || !dib.Has(0, infoSize)) return QImage();
        return DecodeDib(dib.Bytes(0, infoSize), infoSize, dib.Bytes(infoSize, dib.Size() - infoSize),
                         dib.Size() - infoSize, FBudget);
    }

    void PlayShapeRecord(uint16_t function, const TRecord& r) {
        switch (function) {
        case 0x0213: // META_LINETO
            LineTo(YX(r, 0));
            break;
        case 0x0214: // META_MOVETO
            MoveTo(YX(r, 0));
            break;
        case 0x0415: // META_EXCLUDECLIPRECT
        case 0x0416: // META_INTERSECTCLIPRECT
            IntersectClip(QRectF(QPointF(P(r, 3), P(r, 2)), QPointF(P(r, 1), P(r, 0))).normalized(),
                          function == 0x0415);
            break;
        case 0x0418: // META_ELLIPSE
            Ellipse(P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case 0x041B: // META_RECTANGLE
            Rectangle(P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case 0x061C: // META_ROUNDRECT
            RoundRect(P(r, 5), P(r, 4), P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case 0x0817: // META_ARC
        case 0x081A: // META_PIE
        case 0x0830: // META_CHORD
        {
            const TArcKind kind = function == 0x0817   ? TArcKind::Arc
                                  : function == 0x081A ? TArcKind::Pie
                                                       : TArcKind::Chord;
            ArcShape(kind, P(r, 7), P(r, 6), P(r, 5), P(r, 4), YX(r, 2), YX(r, 0));
            break;
        }
        case 0x041F: // META_SETPIXEL
            SetPixel(YX(r, 2), ColorRef(P32(r, 0)));
            break;
        case 0x0324: // META_POLYGON
        case 0x0325: // META_POLYLINE
            Poly(ReadPoints16(r, 8, uint16_t(P(r, 0))), function == 0x0324);
            break;
        case 0x0538: // META_POLYPOLYGON
            PolyPolygon(ReadPolyPolygon(r), true);
            break;
        default:
            PlayOutputRecord(function, r);
            break;
        }
    }

    std::vector<QPolygonF> ReadPolyPolygon(const TRecord& r) {
        const uint16_t polygons = uint16_t(P(r, 0));
        size_t at = 8 + 2 * size_t(polygons);
        r.Need(8, 2 * size_t(polygons));
        std::vector<QPolygonF> result;
        for (uint16_t i = 0; i < polygons; ++i) {
            const uint16_t count = r.U16(8 + 2 * size_t(i));
            result.push_back(ReadPoints16(r, at, count));
            at += 4 * size_t(count);
        }
        return result;
    }

    void PlayOutputRecord(uint16_t function, const TRecord& r) {
        switch (function) {
        case 0x061D: // META_PATBLT
            FillBlock(QRectF(P(r, 5), P(r, 4), P(r, 3), P(r, 2)).normalized(), P32(r, 0));
            break;
        case 0x0521: // META_TEXTOUT
            TextOut(r);
            break;
        case 0x0A32: // META_EXTTEXTOUT
            ExtTextOut(r);
            break;
        case 0x0940: // META_DIBBITBLT
        case 0x0B41: // META_DIBSTRETCHBLT
            DibBlt(r, function);
            break;
        case 0x0F43: // META_STRETCHDIB
            StretchDib(r);
            break;
        default:
            break;
        }
    }

    // Texts of a Windows metafile are in the system code page.
    static QString Text8(const TRecord& r, size_t offset, size_t count) {
        const uint8_t* bytes = r.Bytes(offset, count);
        return QString::fromStdU16String(
            GbkToUtf16(std::string_view(reinterpret_cast<const char*>(bytes), count)));
    }

    void TextOut(const TRecord& r) {
        const size_t count = uint16_t(P(r, 0));
        const size_t padded = (count + 1) & ~size_t(1);
        const QString text = Text8(r, 8, count);
        const size_t after = 8 + padded;
        DrawText(QPointF(r.I16(after + 2), r.I16(after)), text, {}, 0, std::nullopt);
    }

    void ExtTextOut(const TRecord& r) {
        const QPointF reference(P(r, 1), P(r, 0));
        const size_t count = uint16_t(P(r, 2));
        const uint16_t options = uint16_t(P(r, 3));
        size_t at = 14;
        std::optional<QRectF> box;
        if ((options & (ETO_OPAQUE | ETO_CLIPPED)) && r.Has(at, 8)) {
            box =
                QRectF(QPointF(r.I16(at), r.I16(at + 2)), QPointF(r.I16(at + 4), r.I16(at + 6))).normalized();
            at += 8;
        }
        const QString text = Text8(r, at, count);
        at += (count + 1) & ~size_t(1);
        std::vector<double> dx;
        // Advances are given per byte; with double-byte characters the font's own are used.
        if (count <= r.Fits(at, 2) && text.size() == qsizetype(count))
            for (size_t i = 0; i < count; ++i)
                dx.push_back(r.I16(at + 2 * i));
        DrawText(reference, text, dx, options, box);
    }

    void DibBlt(const TRecord& r, uint16_t function) {
        const bool stretch = function == 0x0B41;
        const uint32_t rop = P32(r, 0);
        // Without a bitmap the record is shorter by the DIB and longer by one reserved word.
        if (r.Size() / 2 == size_t(function >> 8) + 3u) {
            const size_t i = stretch ? 7 : 5;
            FillBlock(QRectF(P(r, i + 3), P(r, i + 2), P(r, i + 1), P(r, i)).normalized(), rop);
            return;
        }
        const size_t fixed = stretch ? 10 : 8;
        const TRecord dib(r.Bytes(6 + 2 * fixed, r.Size() - 6 - 2 * fixed), r.Size() - 6 - 2 * fixed);
        const QImage image = PackedDib(dib);
        if (stretch) {
            DrawBitmap(image, QRectF(P(r, 9), P(r, 8), P(r, 7), P(r, 6)),
                       QRectF(P(r, 5), P(r, 4), P(r, 3), P(r, 2)), rop);
        } else {
            DrawBitmap(image, QRectF(P(r, 7), P(r, 6), P(r, 5), P(r, 4)),
                       QRectF(P(r, 3), P(r, 2), P(r, 5), P(r, 4)), rop);
        }
    }

    void StretchDib(const TRecord& r) {
        const TRecord dib(r.Bytes(28, r.Size() - 28), r.Size() - 28);
        const QImage image = PackedDib(dib);
        if (image.isNull()) return;
        const double ySrc = P(r, 5), cySrc = P(r, 3);
        const bool bottomUp = DibBottomUp(dib);
        const double top = bottomUp ? image.height() - ySrc - cySrc : ySrc;
        DrawBitmap(image, QRectF(P(r, 10), P(r, 9), P(r, 8), P(r, 7)), QRectF(P(r, 6), top, P(r, 4), cySrc),
                   P32(r, 0));
    }

    const TRecord& FFile;
};

// The canvas's pixels as a QImage, shared, not copied.
QImage WrapCanvas(TCanvas& canvas) {
    return QImage(reinterpret_cast<uchar*>(canvas.Pixels()), canvas.Width(), canvas.Height(),
                  qsizetype(canvas.Stride()) * 4, QImage::Format_ARGB32);
}

QRectF Destination(const TRect& rect) {
    return QRectF(rect.Left, rect.Top, rect.Width(), rect.Height());
}

} // namespace

void PlayEnhancedMetafile(const uint8_t* data, size_t size, TCanvas& canvas, const TRect& rect) {
    if (!data || canvas.Width() <= 0 || canvas.Height() <= 0 || rect.IsEmpty()) return;
    QImage image = WrapCanvas(canvas);
    QPainter painter(&image);
    const TRecord file(data, size);
    TEmfPlayback(painter, Destination(rect), file).Play();
}

void PlayWindowsMetafile(const uint8_t* data, size_t size, const TRect& bounds, TCanvas& canvas,
                         const TRect& rect) {
    if (!data || canvas.Width() <= 0 || canvas.Height() <= 0 || rect.IsEmpty()) return;
    QImage image = WrapCanvas(canvas);
    QPainter painter(&image);
    const TRecord file(data, size);
    TWmfPlayback(painter, Destination(rect), file, bounds).Play();
}

void PlayMetafile(const TMetafile& metafile, TCanvas& canvas, const TRect& rect) {
    if (metafile.Enhanced())
        PlayEnhancedMetafile(metafile.Data().data(), metafile.Data().size(), canvas, rect);
    else
        PlayWindowsMetafile(metafile.WmfRecords(), metafile.WmfRecordsSize(), metafile.WmfBounds(), canvas,
                            rect);
}

void InstallMetafilePlayer() {
    SetMetafilePlayer(PlayMetafile);
}
