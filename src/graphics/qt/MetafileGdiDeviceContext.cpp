// The device context of the playback engine: the mapping from logical
// coordinates to destination pixels, the saved states, the object table,
// and handing the state to the painter with what painting costs.

#include "graphics/qt/MetafileGdiPlayback.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>

namespace MetafileGdi {

TGdiPlayback::TGdiPlayback(QPainter& painter, const QRectF& destination)
    : FPainter(painter), FDestination(destination) {
    FDc.Clip.addRect(destination);
    // Fonts need the GUI application; without one (a command-line tool) texts are skipped.
    FCanDrawText = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

TDcState& TGdiPlayback::Dc() {
    return FDc;
}

TPlaybackBudget& TGdiPlayback::Budget() {
    return FBudget;
}

// ---- Mapping

QSizeF TGdiPlayback::PixelsPerMM() const {
    return FPixelsPerMM;
}

void TGdiPlayback::SetPixelsPerMM(QSizeF pixelsPerMM) {
    FPixelsPerMM = pixelsPerMM;
}

void TGdiPlayback::MapReferenceFrame(const QRectF& frame) {
    FReferenceToDestination =
        QTransform::fromTranslate(-frame.left(), -frame.top()) *
        QTransform::fromScale(FDestination.width() / frame.width(), FDestination.height() / frame.height()) *
        QTransform::fromTranslate(FDestination.left(), FDestination.top());
}

const QTransform& TGdiPlayback::ReferenceToDestination() const {
    return FReferenceToDestination;
}

QTransform TGdiPlayback::LogicalToDevice() const {
    return FDc.World * PageToReference() * FReferenceToDestination;
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

// ---- Objects

void TGdiPlayback::ResizeObjectTable(size_t count) {
    FObjects.assign(std::min<size_t>(count, 65536), std::nullopt);
}

void TGdiPlayback::StoreObject(uint32_t index, TGdiObject object) {
    if (index < FObjects.size()) FObjects[index] = std::move(object);
}

void TGdiPlayback::AddObject(TGdiObject object) {
    for (auto& slot : FObjects)
        if (!slot) {
            slot = std::move(object);
            return;
        }
}

void TGdiPlayback::DeleteObject(uint32_t index) {
    if (index < FObjects.size()) FObjects[index].reset();
}

void TGdiPlayback::SelectObject(const TGdiObject& object) {
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

void TGdiPlayback::SelectObjectAt(uint32_t index) {
    if (index & 0x80000000u) {
        if (auto stock = StockObject(index & 0x7FFFFFFFu)) SelectObject(*stock);
    } else if (index < FObjects.size() && FObjects[index]) {
        SelectObject(*FObjects[index]);
    }
}

// ---- State

void TGdiPlayback::SaveDC() {
    // A file that only saves would otherwise grow the stack without end.
    if (FSaved.size() < 4096) FSaved.push_back(FDc);
}

void TGdiPlayback::RestoreDC(int which) {
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

void TGdiPlayback::SetWorldTransform(const QTransform& transform) {
    if (transform.isInvertible() && std::isfinite(transform.m11()) && std::isfinite(transform.m12()) &&
        std::isfinite(transform.m21()) && std::isfinite(transform.m22()) && std::isfinite(transform.dx()) &&
        std::isfinite(transform.dy()))
        FDc.World = transform;
}

// ---- Handing the state to the painter

double TGdiPlayback::LengthScale(const QTransform& transform) {
    return std::sqrt(std::fabs(transform.determinant()));
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

void TGdiPlayback::PreparePainter(const QTransform& transform, bool fill, bool stroke) {
    SetPainterClip(FDc.Clip);
    FPainter.setTransform(transform);
    FPainter.setPen(stroke ? DevicePen(FDc.Pen, LengthScale(transform)) : QPen(Qt::NoPen));
    FPainter.setBrush(fill ? DeviceBrush(FDc.Brush) : QBrush(Qt::NoBrush));
    FPainter.setBackgroundMode(FDc.BkOpaque ? Qt::OpaqueMode : Qt::TransparentMode);
    FPainter.setBackground(FDc.BkColor);
}

// ---- The canvas played onto

QImage WrapCanvas(TCanvas& canvas) {
    return QImage(reinterpret_cast<uchar*>(canvas.Pixels()), canvas.Width(), canvas.Height(),
                  qsizetype(canvas.Stride()) * 4, QImage::Format_ARGB32);
}

QRectF Destination(const TRect& rect) {
    return QRectF(rect.Left, rect.Top, rect.Width(), rect.Height());
}

} // namespace MetafileGdi
