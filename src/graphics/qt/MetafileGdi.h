#pragma once
// What playback of both metafile kinds shares, besides the engine
// (MetafileGdiPlayback.h): record access, the logical objects and device
// context of the classic drawing interface, and bitmaps inside records.
// Only the player's own files include this.

#include "graphics/Graphics.h"
#include "graphics/MetafileRecords.h"
#include "graphics/qt/MetafilePlaybackBudget.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QTransform>
#include <cstddef>
#include <cstdint>
#include <optional>

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

// ---- GDI objects (MetafileGdiObjects.cpp)

// Stock objects, selected with the index 0x80000000 + n in EMF.
std::optional<TGdiObject> StockObject(uint32_t index);

// A pen of a record's style word: the line style, cap and join.
TLogPen MakeLogPen(int style, double width, QColor color);

TGdiObject PenObject(const TLogPen& pen);
TGdiObject BrushObject(int style, QColor color, int hatch, QImage pattern = QImage());
TGdiObject FontObject(const TLogFont& font);

// Pens are sized in destination pixels whatever the painter's transform:
// a width of 0 is one pixel, others scale with the picture.
QPen DevicePen(const TLogPen& logPen, double scale);

QBrush DeviceBrush(const TLogBrush& logBrush);

// ---- Bitmaps inside records (MetafileGdiBitmaps.cpp)

// Bitmaps inside a metafile are decoded whole; a header that announces more
// than this is not drawn rather than allowed to exhaust memory.
constexpr int64_t MaxDibPixels = int64_t(1) << 24;

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

// ---- Points in records (MetafileGdiShapes.cpp)

// count points of two signed coordinates of coordinateSize (2 or 4) bytes each.
QPolygonF ReadPoints(const TRecord& record, size_t offset, uint32_t count, size_t coordinateSize);
QPolygonF ReadPoints32(const TRecord& record, size_t offset, uint32_t count);
QPolygonF ReadPoints16(const TRecord& record, size_t offset, uint32_t count);

// ---- The canvas played onto (MetafileGdiDeviceContext.cpp)

// The canvas's pixels as a QImage, shared, not copied.
QImage WrapCanvas(TCanvas& canvas);
QRectF Destination(const TRect& rect);

} // namespace MetafileGdi
