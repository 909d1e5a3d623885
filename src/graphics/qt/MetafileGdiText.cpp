// Text of the playback engine: the font on the destination, where the
// characters go, and painting them with their background.

#include "graphics/qt/MetafileGdiPlayback.h"

#include <algorithm>
#include <cmath>

namespace MetafileGdi {

std::optional<QFont> TGdiPlayback::DeviceFont(double yScale) const {
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

TGdiPlayback::TTextRun TGdiPlayback::LayOutText(const QString& text, const std::vector<double>& dx,
                                                const QFontMetricsF& metrics, double xScale) const {
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

void TGdiPlayback::DrawText(QPointF reference, const QString& text, const std::vector<double>& dx,
                            uint32_t options, const std::optional<QRectF>& box) {
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
    if (!FBudget.Spend(text.size() * (TPlaybackBudget::PerRecord + int64_t(std::min(glyph, 1e8))))) return;
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

void TGdiPlayback::PaintTextRun(const QString& text, const TTextRun& run, const QFontMetricsF& metrics) {
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

} // namespace MetafileGdi
