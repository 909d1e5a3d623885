#include "graphics/qt/RzProgressBar.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Whole-number rounding of an extended-precision value, halves to even (the
// default rounding mode), so 238.5 gives 238 and 12.5 gives 12.
long double RoundHalfEven(long double value) {
    return std::nearbyintl(value);
}

// One ring of one-pixel lines. The drawing order (left, top, right, bottom)
// decides the corners: top-right and bottom-left take the second colour.
void DrawRing(QPainter& painter, int left, int top, int right, int bottom, const QColor& topLeft,
              const QColor& bottomRight) {
    if (right <= left || bottom <= top) return;
    painter.fillRect(QRect(left, top, 1, bottom - top), topLeft);
    painter.fillRect(QRect(left, top, right - left, 1), topLeft);
    painter.fillRect(QRect(right - 1, top, 1, bottom - top), bottomRight);
    painter.fillRect(QRect(left, bottom - 1, right - left, 1), bottomRight);
}

struct TRingColors {
    QColor TopLeft, BottomRight;
};

} // namespace

int ProgressPercent(TUnsignedLongint partsComplete, TUnsignedLongint totalParts) {
    // Counts are unsigned here: read as signed, a total of 4294967295 (a run
    // of no items) would turn any count into a negative percentage.
    const long double quotient =
        static_cast<long double>(partsComplete) / static_cast<long double>(totalParts);
    const long double product = quotient * 100.0L;
    return static_cast<int>(RoundHalfEven(product));
}

TRzProgressBar::TRzProgressBar(QWidget* parent) : QWidget(parent) {
    // The bar paints every pixel of its rectangle itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(200, 24);
}

void TRzProgressBar::Repaint() {
    if (!FLoading) repaint();
}

void TRzProgressBar::SetTotalParts(TUnsignedLongint value) {
    if (value == FTotalParts) return;
    FTotalParts = value;
    if (FLoading) return;
    // Straight to the field: the percent setter below does the one repaint.
    FPartsComplete = 0;
    SetPercent(0);
}

void TRzProgressBar::SetPartsComplete(TUnsignedLongint value) {
    if (value == FPartsComplete) return;
    if (value > FTotalParts) value = FTotalParts;
    FPartsComplete = value;
    if (!FLoading && FTotalParts != 0) SetPercent(static_cast<uint16_t>(ProgressPercent(value, FTotalParts)));
}

void TRzProgressBar::SetPercent(uint16_t value) {
    if (value == FPercent) return;
    FPercent = value;
    if (OnChange) OnChange(this, value);
    Repaint();
}

#define QUILLORA_REPAINTING_SETTER(Name, Type)                                                               \
    void TRzProgressBar::Set##Name(Type value) {                                                             \
        if (value == F##Name) return;                                                                        \
        F##Name = value;                                                                                     \
        Repaint();                                                                                           \
    }

QUILLORA_REPAINTING_SETTER(ShowPercent, bool)
QUILLORA_REPAINTING_SETTER(ShowParts, bool)
QUILLORA_REPAINTING_SETTER(Orientation, TOrientation)
QUILLORA_REPAINTING_SETTER(BackColor, const QColor&)
QUILLORA_REPAINTING_SETTER(BackColorStop, const QColor&)
QUILLORA_REPAINTING_SETTER(BarColorStop, const QColor&)
QUILLORA_REPAINTING_SETTER(GradientDirection, TGradientDirection)
QUILLORA_REPAINTING_SETTER(BorderColor, const QColor&)
QUILLORA_REPAINTING_SETTER(BorderOuter, TFrameStyleEx)
QUILLORA_REPAINTING_SETTER(BorderInner, TFrameStyleEx)
QUILLORA_REPAINTING_SETTER(BevelWidth, int)
QUILLORA_REPAINTING_SETTER(InteriorOffset, uint8_t)
#undef QUILLORA_REPAINTING_SETTER

void TRzProgressBar::SetBorderWidth(int value) {
    value = std::max(value, 0);
    if (value == FBorderWidth) return;
    FBorderWidth = value;
    Repaint();
}

void TRzProgressBar::SetNumSegments(int value) {
    value = std::clamp(value, 1, 100);
    if (value == FNumSegments) return;
    FNumSegments = value;
    Repaint();
}

void TRzProgressBar::SetBarStyle(TBarStyle value) {
    if (value == FBarStyle) return;
    FBarStyle = value;
    FShowPercent = value != TBarStyle::bsLED;
    FInteriorOffset = value == TBarStyle::bsLED ? 1 : 0;
    Repaint();
}

void TRzProgressBar::SetBarColor(const QColor& value) {
    if (value == FBarColor) return;
    FBarColor = value;
    FFontColor = value;
    Repaint();
}

void TRzProgressBar::SetFlatColor(const QColor& value) {
    if (value == FFlatColor) return;
    FFlatColor = value;
    update();
}

void TRzProgressBar::SetFlatColorAdjustment(int value) {
    if (value == FFlatColorAdjustment) return;
    FFlatColorAdjustment = value;
    update();
}

void TRzProgressBar::SetThemeAware(bool value) {
    if (value == FThemeAware) return;
    FThemeAware = value;
    update();
}

void TRzProgressBar::SetFrameController(TRzFrameController* value) {
    if (value == FFrameController) return;
    FFrameController = value;
    update();
}

void TRzProgressBar::SetBounds(int left, int top, int width, int height) {
    setGeometry(left, top, width, height);
    UpdateOrientationFromSize();
}

void TRzProgressBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UpdateOrientationFromSize();
}

void TRzProgressBar::UpdateOrientationFromSize() {
    SetOrientation(width() < height() ? TOrientation::orVertical : TOrientation::orHorizontal);
}

void TRzProgressBar::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.drawImage(0, 0, PaintImage());
}

QImage TRzProgressBar::PaintImage() const {
    QImage image(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setFont(font());
    TBox r{0, 0, width(), height()};
    painter.fillRect(r.ToQRect(), FBorderColor);
    r = DrawFrames(painter, r);
    if (r.Empty()) return image;
    switch (FBarStyle) {
    case TBarStyle::bsTraditional:
        DrawTraditional(painter, r);
        break;
    case TBarStyle::bsLED:
        DrawLED(painter, r);
        break;
    case TBarStyle::bsGradient:
        DrawGradient(painter, r);
        break;
    }
    return image;
}

// Outer frame, border rings, inner frame and interior offset; answers what
// is left for the bar.
TRzProgressBar::TBox TRzProgressBar::DrawFrames(QPainter& painter, TBox r) const {
    r = DrawFrameStyle(painter, r, FBorderOuter);
    // The rings of the border width are in the colour the whole area was filled with.
    r = {r.Left + FBorderWidth, r.Top + FBorderWidth, r.Right - FBorderWidth, r.Bottom - FBorderWidth};
    r = DrawFrameStyle(painter, r, FBorderInner);
    const int offset = FInteriorOffset;
    for (int i = 0; i < offset; ++i)
        DrawRing(painter, r.Left + i, r.Top + i, r.Right - i, r.Bottom - i, FBackColor, FBackColor);
    return {r.Left + offset, r.Top + offset, r.Right - offset, r.Bottom - offset};
}

TRzProgressBar::TBox TRzProgressBar::DrawFrameStyle(QPainter& painter, TBox r, TFrameStyleEx style) const {
    using namespace TSysColors;
    std::vector<TRingColors> rings;
    switch (style) {
    case TFrameStyleEx::fsNone:
        break;
    case TFrameStyleEx::fsFlat:
    case TFrameStyleEx::fsStatus:
        rings = {{style == TFrameStyleEx::fsFlat ? FFlatColor : clBtnShadow,
                  style == TFrameStyleEx::fsFlat ? FFlatColor : clBtnHighlight}};
        break;
    case TFrameStyleEx::fsPopup:
        rings = {{clBtnHighlight, clBtnShadow}};
        break;
    case TFrameStyleEx::fsGroove:
        rings = {{clBtnShadow, clBtnHighlight}, {clBtnHighlight, clBtnShadow}};
        break;
    case TFrameStyleEx::fsBump:
        rings = {{clBtnHighlight, clBtnShadow}, {clBtnShadow, clBtnHighlight}};
        break;
    case TFrameStyleEx::fsLowered:
        rings = {{clBtnShadow, clBtnHighlight}, {cl3DDkShadow, cl3DLight}};
        break;
    case TFrameStyleEx::fsButtonDown:
        rings = {{cl3DDkShadow, clBtnHighlight}, {clBtnShadow, cl3DLight}};
        break;
    case TFrameStyleEx::fsRaised:
        rings = {{cl3DLight, cl3DDkShadow}, {clBtnHighlight, clBtnShadow}};
        break;
    case TFrameStyleEx::fsButtonUp:
        rings = {{clBtnHighlight, cl3DDkShadow}, {cl3DLight, clBtnShadow}};
        break;
    case TFrameStyleEx::fsFlatBold:
    case TFrameStyleEx::fsFlatRounded:
        rings = {{FFlatColor, FFlatColor}, {FFlatColor, FFlatColor}};
        break;
    }
    for (const TRingColors& ring : rings) {
        DrawRing(painter, r.Left, r.Top, r.Right, r.Bottom, ring.TopLeft, ring.BottomRight);
        r = {r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1};
    }
    return r;
}

QString TRzProgressBar::BarText() const {
    if (!FShowPercent) return QString();
    if (FShowParts) return QString::asprintf("%u / %u", FPartsComplete, FTotalParts);
    return QString::asprintf("%u%%", static_cast<unsigned>(FPercent));
}

TRzProgressBar::TBox TRzProgressBar::FilledPart(const TBox& r) const {
    if (FPercent >= 100) return r;
    if (FOrientation == TOrientation::orHorizontal) {
        const long double length =
            RoundHalfEven(static_cast<long double>(int64_t{r.Width()} * FPercent) / 100.0L);
        return {r.Left, r.Top, r.Left + static_cast<int>(length), r.Bottom};
    }
    const long double length =
        RoundHalfEven(static_cast<long double>(int64_t{r.Height()} * FPercent) / 100.0L);
    return {r.Left, r.Bottom - static_cast<int>(length), r.Right, r.Bottom};
}

// Top-left corner of the text. The centre is half the right edge's
// coordinate, not the middle of the interior; the height is that of "X".
QPoint TRzProgressBar::TextOrigin(const TBox& r) const {
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(BarText());
    const int top = r.Top + (r.Height() - metrics.height()) / 2;
    return QPoint(r.Right / 2 - textWidth / 2, top);
}

void TRzProgressBar::DrawBarText(QPainter& painter, const TBox& clip, const QPoint& origin,
                                 const QString& text, const QColor& color) const {
    if (text.isEmpty() || clip.Empty()) return;
    painter.save();
    painter.setClipRect(clip.ToQRect());
    painter.setPen(color);
    painter.drawText(origin + QPoint(0, QFontMetrics(font()).ascent()), text);
    painter.restore();
}

void TRzProgressBar::DrawTraditional(QPainter& painter, const TBox& r) const {
    const TBox filled = FilledPart(r);
    const TBox rest = FOrientation == TOrientation::orHorizontal
                          ? TBox{filled.Right, r.Top, r.Right, r.Bottom}
                          : TBox{r.Left, r.Top, r.Right, filled.Top};
    const QString text = BarText();
    const QPoint origin = TextOrigin(r);
    if (!filled.Empty()) painter.fillRect(filled.ToQRect(), FBarColor);
    DrawBarText(painter, filled, origin, text, FBackColor);
    if (!rest.Empty()) painter.fillRect(rest.ToQRect(), FBackColor);
    DrawBarText(painter, rest, origin, text, FBarColor);
}

void TRzProgressBar::DrawLED(QPainter& painter, const TBox& r) const {
    painter.fillRect(r.ToQRect(), FBackColor);
    const bool horizontal = FOrientation == TOrientation::orHorizontal;
    const int d = horizontal ? r.Width() : r.Height();
    int s = FNumSegments;
    int k = d / s;
    if (d <= 80 && s > 10) {
        k = d / 10;
        s = 10;
    }
    if (k <= 0) return;
    s += (d - k * s) / k;
    const int margin = (d - k * s) / 2;
    const int lit = FPercent * s / 100;
    for (int j = 1; j <= s; ++j) {
        const TBox segment =
            horizontal
                ? TBox{margin + r.Left + k * (j - 1), r.Top, margin + r.Left + k * j, r.Bottom}
                : TBox{r.Left, margin + r.Top + k * (s - j), r.Right, margin + r.Top + k * (s - j + 1)};
        DrawRing(painter, segment.Left, segment.Top, segment.Right, segment.Bottom, FBackColor, FBackColor);
        const TBox inside{segment.Left + 1, segment.Top + 1, segment.Right - 1, segment.Bottom - 1};
        if (!inside.Empty()) painter.fillRect(inside.ToQRect(), j <= lit ? FBarColor : FBackColor);
    }
}

namespace {

// The colour steps of the gradient style are this program's own choice; it
// does not use the style itself.
QBrush GradientBrush(const QRect& area, TGradientDirection direction, const QColor& start,
                     const QColor& stop) {
    const QPointF topLeft = area.topLeft(), centre = QRectF(area).center();
    const QPointF bottomRight = QRectF(area).bottomRight(), bottomLeft = QRectF(area).bottomLeft();
    QLinearGradient linear;
    switch (direction) {
    case TGradientDirection::gdDiagonalUp:
        linear = QLinearGradient(bottomLeft, QRectF(area).topRight());
        break;
    case TGradientDirection::gdDiagonalDown:
        linear = QLinearGradient(topLeft, bottomRight);
        break;
    case TGradientDirection::gdHorizontalEnd:
        linear = QLinearGradient(topLeft, bottomLeft);
        break;
    case TGradientDirection::gdHorizontalCenter:
    case TGradientDirection::gdHorizontalBox:
        linear = QLinearGradient(topLeft, QPointF(topLeft.x(), centre.y()));
        linear.setSpread(QGradient::ReflectSpread);
        break;
    case TGradientDirection::gdVerticalEnd:
        linear = QLinearGradient(topLeft, QRectF(area).topRight());
        break;
    case TGradientDirection::gdVerticalCenter:
    case TGradientDirection::gdVerticalBox:
        linear = QLinearGradient(topLeft, QPointF(centre.x(), topLeft.y()));
        linear.setSpread(QGradient::ReflectSpread);
        break;
    case TGradientDirection::gdSquareBox:
    case TGradientDirection::gdBigSquareBox: {
        QRadialGradient radial(centre, std::max(area.width(), area.height()) / 2.0);
        radial.setColorAt(0, stop);
        radial.setColorAt(1, start);
        return QBrush(radial);
    }
    }
    linear.setColorAt(0, start);
    linear.setColorAt(1, stop);
    return QBrush(linear);
}

} // namespace

void TRzProgressBar::DrawGradient(QPainter& painter, const TBox& r) const {
    const TBox filled = FilledPart(r);
    const TBox rest = FOrientation == TOrientation::orHorizontal
                          ? TBox{filled.Right, r.Top, r.Right, r.Bottom}
                          : TBox{r.Left, r.Top, r.Right, filled.Top};
    if (!filled.Empty())
        painter.fillRect(filled.ToQRect(),
                         GradientBrush(filled.ToQRect(), FGradientDirection, FBarColor, FBarColorStop));
    if (!rest.Empty())
        painter.fillRect(rest.ToQRect(),
                         GradientBrush(rest.ToQRect(), FGradientDirection, FBackColor, FBackColorStop));
    const QString text = BarText();
    const QPoint origin = TextOrigin(r);
    DrawBarText(painter, filled, origin, text, FBackColor);
    DrawBarText(painter, rest, origin, text, FBarColor);
}
