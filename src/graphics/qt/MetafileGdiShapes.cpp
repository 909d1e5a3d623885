// Shapes of the playback engine: lines, polygons, Bézier curves, boxes,
// ellipses and arcs, pixels, and the open path they may be added to; and
// the points that records give them.

#include "graphics/qt/MetafileGdiPlayback.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace MetafileGdi {

// ---- Drawing a shape, or adding it to the open path

void TGdiPlayback::DrawShape(QPainterPath shape, bool fill, bool stroke, bool connect) {
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

void TGdiPlayback::BeginPath() {
    FInPath = true;
    FPath = QPainterPath();
    FPath.moveTo(LogicalToDevice().map(FDc.Position));
}

void TGdiPlayback::EndPath() {
    FInPath = false;
}

void TGdiPlayback::CloseFigure() {
    if (FInPath) FPath.closeSubpath();
}

void TGdiPlayback::AbortPath() {
    FPath = QPainterPath();
    FInPath = false;
}

void TGdiPlayback::DrawPath(bool fill, bool stroke) {
    QPainterPath path = FPath;
    FPath = QPainterPath();
    FInPath = false;
    path.setFillRule(FDc.FillRule);
    if (!AffordPainting(path.controlPointRect(), &path)) return;
    PreparePainter(QTransform(), fill, false);
    if (stroke) FPainter.setPen(DevicePen(FDc.Pen, LengthScale(LogicalToDevice())));
    FPainter.drawPath(path);
}

// ---- Boxes, ellipses and arcs

QRectF TGdiPlayback::ShapeBox(int left, int top, int right, int bottom) const {
    const QRectF logical = QRectF(QPointF(left, top), QPointF(right, bottom)).normalized();
    const QTransform transform = LogicalToDevice();
    if (transform.type() > QTransform::TxScale || !transform.isInvertible()) return logical;
    QRectF device = transform.mapRect(logical);
    if (device.width() < 1 || device.height() < 1) return logical;
    device.adjust(0, 0, -1, -1);
    return transform.inverted().mapRect(device);
}

void TGdiPlayback::Rectangle(int left, int top, int right, int bottom) {
    QPainterPath shape;
    shape.addRect(ShapeBox(left, top, right, bottom));
    DrawShape(shape, true, true);
}

void TGdiPlayback::Ellipse(int left, int top, int right, int bottom) {
    QPainterPath shape;
    shape.addEllipse(ShapeBox(left, top, right, bottom));
    DrawShape(shape, true, true);
}

void TGdiPlayback::RoundRect(int left, int top, int right, int bottom, int cornerWidth, int cornerHeight) {
    QPainterPath shape;
    shape.addRoundedRect(ShapeBox(left, top, right, bottom), std::fabs(cornerWidth) / 2.0,
                         std::fabs(cornerHeight) / 2.0);
    DrawShape(shape, true, true);
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

// ---- Lines, polygons and curves

void TGdiPlayback::LineTo(QPointF point) {
    QPainterPath shape;
    shape.moveTo(FDc.Position);
    shape.lineTo(point);
    FDc.Position = point;
    DrawShape(shape, false, true, true);
}

void TGdiPlayback::MoveTo(QPointF point) {
    FDc.Position = point;
    if (FInPath) FPath.moveTo(LogicalToDevice().map(point));
}

void TGdiPlayback::Poly(const QPolygonF& points, bool closed) {
    if (points.isEmpty()) return;
    QPainterPath shape;
    shape.addPolygon(points);
    if (closed) shape.closeSubpath();
    DrawShape(shape, closed, true);
}

void TGdiPlayback::PolyTo(const QPolygonF& points) {
    if (points.isEmpty()) return;
    QPainterPath shape;
    shape.moveTo(FDc.Position);
    for (const QPointF& p : points)
        shape.lineTo(p);
    FDc.Position = points.back();
    DrawShape(shape, false, true, true);
}

void TGdiPlayback::PolyPolygon(const std::vector<QPolygonF>& polygons, bool closed) {
    QPainterPath shape;
    for (const QPolygonF& polygon : polygons) {
        if (polygon.isEmpty()) continue;
        shape.addPolygon(polygon);
        if (closed) shape.closeSubpath();
    }
    DrawShape(shape, closed, true);
}

void TGdiPlayback::PolyBezier(QPolygonF points, bool to) {
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

void TGdiPlayback::SetPixel(QPointF point, QColor color) {
    const QPointF device = LogicalToDevice().map(point);
    SetPainterClip(FDc.Clip);
    FPainter.fillRect(QRectF(std::floor(device.x()), std::floor(device.y()), 1, 1), color);
}

// ---- Points in records

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

QPolygonF ReadPoints32(const TRecord& record, size_t offset, uint32_t count) {
    return ReadPoints(record, offset, count, 4);
}

QPolygonF ReadPoints16(const TRecord& record, size_t offset, uint32_t count) {
    return ReadPoints(record, offset, count, 2);
}

} // namespace MetafileGdi
