#include "graphics/qt/MetafilePlayerGdi.h"

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
    WriteBmpFileHeader(stream, uint32_t(total), uint32_t(14 + infoSize));
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

bool DibBottomUp(const TRecord& info) {
    if (!info.Has(0, 12)) return false;
    return info.U32(0) == 12 ? info.I16(6) > 0 : info.Has(8, 4) && info.I32(8) > 0;
}

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

QTransform TGdiPlayback::PageToReference() const {
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

QPen TGdiPlayback::DevicePen(const TLogPen& logPen, double scale) const {
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

QBrush TGdiPlayback::DeviceBrush(const TLogBrush& logBrush) const {
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

bool TGdiPlayback::AffordPainting(const QRectF& device, const QPainterPath* path,
                                  const QTransform& transform) {
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

void TGdiPlayback::ArcShape(TArcKind kind, int left, int top, int right, int bottom, QPointF start,
                            QPointF end) {
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

void TGdiPlayback::AngleArc(QPointF centre, double radius, double startAngle, double sweepAngle) {
    if (!std::isfinite(startAngle) || !std::isfinite(sweepAngle)) return;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    QPainterPath shape;
    shape.moveTo(FDc.Position);
    shape.arcTo(box, std::fmod(startAngle, 360), std::clamp(sweepAngle, -360.0, 360.0));
    FDc.Position = shape.currentPosition();
    DrawShape(shape, false, true, true);
}

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

void TGdiPlayback::DrawBitmap(const QImage& image, QRectF target, QRectF source, uint32_t rop) {
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

QPolygonF ReadPoints(const TRecord& record, size_t offset, uint32_t count, size_t coordinateSize) {
    const size_t pointSize = 2 * coordinateSize;
    if (count > record.Fits(offset, pointSize)) TRecord::RaiseShort();
    const auto coordinate = [&](size_t at) -> double {
        return coordinateSize == 4 ? record.I32(at) : record.I16(at);
    };
    QPolygonF points;
    points.reserve(qsizetype(count));
    for (size_t at = offset; at < offset + pointSize * size_t(count); at += pointSize)
        points.append(QPointF(coordinate(at), coordinate(at + coordinateSize)));
    return points;
}

// The canvas's pixels as a QImage, shared, not copied.
QImage WrapCanvas(TCanvas& canvas) {
    return QImage(reinterpret_cast<uchar*>(canvas.Pixels()), canvas.Width(), canvas.Height(),
                  qsizetype(canvas.Stride()) * 4, QImage::Format_ARGB32);
}

QRectF Destination(const TRect& rect) {
    return QRectF(rect.Left, rect.Top, rect.Width(), rect.Height());
}

} // namespace MetafileGdi
