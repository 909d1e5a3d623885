// GDI objects of metafile playback: the stock objects, logical pens,
// brushes and fonts made from records, and the pens and brushes they give
// the painter.

#include "graphics/qt/MetafileGdi.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace MetafileGdi {

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

// ---- Objects made from records

TLogPen MakeLogPen(int style, double width, QColor color) {
    TLogPen pen;
    pen.Style = style & 0x0F;
    pen.Width = std::fabs(width);
    pen.Color = color;
    // The end cap (bits 8 to 11) and the join (bits 12 to 15); other values keep the round ones.
    static constexpr Qt::PenCapStyle caps[] = {Qt::RoundCap, Qt::SquareCap, Qt::FlatCap};
    static constexpr Qt::PenJoinStyle joins[] = {Qt::RoundJoin, Qt::BevelJoin, Qt::MiterJoin};
    const int cap = (style >> 8) & 0x0F, join = (style >> 12) & 0x0F;
    if (cap < 3) pen.Cap = caps[cap];
    if (join < 3) pen.Join = joins[join];
    return pen;
}

TGdiObject PenObject(const TLogPen& pen) {
    return {.Kind = TGdiObject::TKind::Pen, .Pen = pen, .Brush = {}, .Font = {}};
}

TGdiObject BrushObject(int style, QColor color, int hatch, QImage pattern) {
    TLogBrush brush{.Style = style, .Color = color, .Hatch = hatch, .Pattern = std::move(pattern)};
    return {.Kind = TGdiObject::TKind::Brush, .Pen = {}, .Brush = std::move(brush), .Font = {}};
}

TGdiObject FontObject(const TLogFont& font) {
    return {.Kind = TGdiObject::TKind::Font, .Pen = {}, .Brush = {}, .Font = font};
}

// ---- Pens and brushes on the painter

QPen DevicePen(const TLogPen& logPen, double scale) {
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
        static const Qt::PenStyle styles[] = {Qt::SolidLine,      Qt::DashLine, Qt::DotLine,  Qt::DashDotLine,
                                              Qt::DashDotDotLine, Qt::NoPen,    Qt::SolidLine};
        if (logPen.Style >= 0 && logPen.Style <= PS_INSIDEFRAME) pen.setStyle(styles[logPen.Style]);
    }
    return pen;
}

QBrush DeviceBrush(const TLogBrush& logBrush) {
    switch (logBrush.Style) {
    case BS_SOLID:
        return QBrush(logBrush.Color);
    case BS_NULL:
        return Qt::NoBrush;
    case BS_HATCHED: {
        static const Qt::BrushStyle hatches[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                                 Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
        const int hatch = logBrush.Hatch >= 0 && logBrush.Hatch <= 5 ? logBrush.Hatch : 0;
        return QBrush(logBrush.Color, hatches[hatch]);
    }
    default:
        if (!logBrush.Pattern.isNull()) return QBrush(logBrush.Pattern);
        return QBrush(logBrush.Color);
    }
}

} // namespace MetafileGdi
