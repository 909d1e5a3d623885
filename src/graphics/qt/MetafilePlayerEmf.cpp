#include "graphics/qt/MetafilePlayer.h"

#include "graphics/qt/Colors.h"
#include "graphics/qt/MetafileGdiPlayback.h"

#include <optional>
#include <string>
#include <vector>

using namespace MetafileGdi;

namespace {

enum : uint32_t { MWT_IDENTITY = 1, MWT_LEFTMULTIPLY, MWT_RIGHTMULTIPLY, MWT_SET };

// ---- Enhanced metafiles

// Reads the records of an EMF file and drives the engine with them.
class TEmfPlayback {
  public:
    TEmfPlayback(QPainter& painter, const QRectF& destination, const TRecord& file)
        : FGdi(painter, destination), FFile(file) {}

    void Play() {
        if (!ReadHeader()) return;
        WalkEmfRecords(FFile, [this](TEmfRecordType type, const TRecord& record) {
            return FGdi.PlayWithinBudget([&] { PlayRecord(type, record); });
        });
    }

  private:
    // The frame (0.01 mm) is turned into reference-device pixels and mapped onto the destination.
    bool ReadHeader() {
        const std::optional<TEmfHeader> header = ReadEmfHeader(FFile);
        if (!header) return false;
        const double deviceX = header->DevicePixelsX, deviceY = header->DevicePixelsY;
        const double mmX = header->DeviceMillimetersX, mmY = header->DeviceMillimetersY;
        if (deviceX > 0 && deviceY > 0 && mmX > 0 && mmY > 0)
            FGdi.SetPixelsPerMM(QSizeF(deviceX / mmX, deviceY / mmY));
        const QSizeF perMM = FGdi.PixelsPerMM();
        const TRect& f = header->Frame;
        QRectF frame(QPointF(f.Left * perMM.width() / 100, f.Top * perMM.height() / 100),
                     QPointF(f.Right * perMM.width() / 100, f.Bottom * perMM.height() / 100));
        const TRect& b = header->Bounds;
        if (frame.width() <= 0 || frame.height() <= 0)
            frame = QRectF(QPointF(b.Left, b.Top), QPointF(b.Right + 1.0, b.Bottom + 1.0));
        if (frame.width() <= 0 || frame.height() <= 0) return false;
        FGdi.MapReferenceFrame(frame);
        FGdi.ResizeObjectTable(header->Handles);
        return true;
    }

    // One record; the types not listed are skipped.
    void PlayRecord(TEmfRecordType type, const TRecord& r) {
        using enum TEmfRecordType;
        using TArcKind = TGdiPlayback::TArcKind;
        TDcState& dc = FGdi.Dc();
        switch (type) {
        case EMR_POLYBEZIER:
            return FGdi.PolyBezier(ReadPoints32(r, 28, r.U32(24)), false);
        case EMR_POLYGON:
            return FGdi.Poly(ReadPoints32(r, 28, r.U32(24)), true);
        case EMR_POLYLINE:
            return FGdi.Poly(ReadPoints32(r, 28, r.U32(24)), false);
        case EMR_POLYBEZIERTO:
            return FGdi.PolyBezier(ReadPoints32(r, 28, r.U32(24)), true);
        case EMR_POLYLINETO:
            return FGdi.PolyTo(ReadPoints32(r, 28, r.U32(24)));
        case EMR_POLYPOLYLINE:
        case EMR_POLYPOLYGON:
            return FGdi.PolyPolygon(ReadPolyPolygon(r, 8), type == EMR_POLYPOLYGON);
        case EMR_POLYBEZIER16:
            return FGdi.PolyBezier(ReadPoints16(r, 28, r.U32(24)), false);
        case EMR_POLYGON16:
            return FGdi.Poly(ReadPoints16(r, 28, r.U32(24)), true);
        case EMR_POLYLINE16:
            return FGdi.Poly(ReadPoints16(r, 28, r.U32(24)), false);
        case EMR_POLYBEZIERTO16:
            return FGdi.PolyBezier(ReadPoints16(r, 28, r.U32(24)), true);
        case EMR_POLYLINETO16:
            return FGdi.PolyTo(ReadPoints16(r, 28, r.U32(24)));
        case EMR_POLYPOLYLINE16:
        case EMR_POLYPOLYGON16:
            return FGdi.PolyPolygon(ReadPolyPolygon(r, 4), type == EMR_POLYPOLYGON16);
        case EMR_SETWINDOWEXTEX:
            dc.WindowExt = Point(r, 8);
            break;
        case EMR_SETWINDOWORGEX:
            dc.WindowOrg = Point(r, 8);
            break;
        case EMR_SETVIEWPORTEXTEX:
            dc.ViewportExt = Point(r, 8);
            break;
        case EMR_SETVIEWPORTORGEX:
            dc.ViewportOrg = Point(r, 8);
            break;
        case EMR_SETPIXELV:
            FGdi.SetPixel(Point(r, 8), FromBgr(r.U32(16)));
            break;
        case EMR_SETMAPMODE:
            dc.MapMode = r.I32(8);
            break;
        case EMR_SETBKMODE:
            dc.BkOpaque = r.U32(8) == 2;
            break;
        case EMR_SETPOLYFILLMODE:
            dc.FillRule = r.U32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case EMR_SETTEXTALIGN:
            dc.TextAlign = r.U32(8);
            break;
        case EMR_SETTEXTCOLOR:
            dc.TextColor = FromBgr(r.U32(8));
            break;
        case EMR_SETBKCOLOR:
            dc.BkColor = FromBgr(r.U32(8));
            break;
        case EMR_MOVETOEX:
            FGdi.MoveTo(Point(r, 8));
            break;
        case EMR_EXCLUDECLIPRECT:
        case EMR_INTERSECTCLIPRECT:
            FGdi.IntersectClip(QRectF(Point(r, 8), Point(r, 16)).normalized(), type == EMR_EXCLUDECLIPRECT);
            break;
        case EMR_SCALEVIEWPORTEXTEX:
        case EMR_SCALEWINDOWEXTEX:
            ScaleExtent(type == EMR_SCALEVIEWPORTEXTEX ? dc.ViewportExt : dc.WindowExt, r);
            break;
        case EMR_SAVEDC:
            FGdi.SaveDC();
            break;
        case EMR_RESTOREDC:
            FGdi.RestoreDC(r.I32(8));
            break;
        case EMR_SETWORLDTRANSFORM:
            FGdi.SetWorldTransform(ReadXForm(r, 8));
            break;
        case EMR_MODIFYWORLDTRANSFORM:
            ModifyWorldTransform(ReadXForm(r, 8), r.U32(32));
            break;
        case EMR_SELECTOBJECT:
            FGdi.SelectObjectAt(r.U32(8));
            break;
        case EMR_CREATEPEN:
            FGdi.StoreObject(r.U32(8), PenObject(MakeLogPen(r.I32(12), r.I32(16), FromBgr(r.U32(24)))));
            break;
        case EMR_CREATEBRUSHINDIRECT:
            FGdi.StoreObject(r.U32(8), BrushObject(int(r.U32(12)), FromBgr(r.U32(16)), int(r.U32(20))));
            break;
        case EMR_DELETEOBJECT:
            FGdi.DeleteObject(r.U32(8));
            break;
        case EMR_EXTCREATEFONTINDIRECTW:
            FGdi.StoreObject(r.U32(8), FontObject(ReadLogFont(r)));
            break;
        case EMR_CREATEMONOBRUSH:
        case EMR_CREATEDIBPATTERNBRUSHPT:
            FGdi.StoreObject(r.U32(8), BrushObject(5, Qt::black, 0, Dib(r, 16, 20, 24, 28)));
            break;
        case EMR_EXTCREATEPEN:
            FGdi.StoreObject(r.U32(8), PenObject(ReadExtPen(r)));
            break;
        case EMR_ANGLEARC:
            FGdi.AngleArc(Point(r, 8), r.U32(16), r.F32(20), r.F32(24));
            break;
        case EMR_ELLIPSE:
            FGdi.Ellipse(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
            break;
        case EMR_RECTANGLE:
            FGdi.Rectangle(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
            break;
        case EMR_ROUNDRECT:
            FGdi.RoundRect(r.I32(8), r.I32(12), r.I32(16), r.I32(20), r.I32(24), r.I32(28));
            break;
        case EMR_ARC:
        case EMR_CHORD:
        case EMR_PIE:
        case EMR_ARCTO: {
            const TArcKind kind = type == EMR_ARC     ? TArcKind::Arc
                                  : type == EMR_CHORD ? TArcKind::Chord
                                  : type == EMR_PIE   ? TArcKind::Pie
                                                      : TArcKind::ArcTo;
            FGdi.ArcShape(kind, r.I32(8), r.I32(12), r.I32(16), r.I32(20), Point(r, 24), Point(r, 32));
            break;
        }
        case EMR_LINETO:
            FGdi.LineTo(Point(r, 8));
            break;
        case EMR_SETARCDIRECTION:
            dc.Clockwise = r.U32(8) == 2;
            break;
        case EMR_BEGINPATH:
            FGdi.BeginPath();
            break;
        case EMR_ENDPATH:
            FGdi.EndPath();
            break;
        case EMR_CLOSEFIGURE:
            FGdi.CloseFigure();
            break;
        case EMR_FILLPATH:
            FGdi.DrawPath(true, false);
            break;
        case EMR_STROKEANDFILLPATH:
            FGdi.DrawPath(true, true);
            break;
        case EMR_STROKEPATH:
            FGdi.DrawPath(false, true);
            break;
        case EMR_SELECTCLIPPATH:
            FGdi.SelectClipPath(r.I32(8));
            break;
        case EMR_ABORTPATH:
            FGdi.AbortPath();
            break;
        case EMR_EXTSELECTCLIPRGN:
            SelectClipRegion(r);
            break;
        case EMR_BITBLT:
        case EMR_STRETCHBLT:
            BitBlt(r, type == EMR_STRETCHBLT);
            break;
        case EMR_STRETCHDIBITS:
            StretchDIBits(r);
            break;
        case EMR_EXTTEXTOUTW:
            ExtTextOutW(r);
            break;
        default:
            break;
        }
    }

    std::vector<QPolygonF> ReadPolyPolygon(const TRecord& r, size_t pointSize) {
        const uint32_t polygons = r.U32(24), total = r.U32(28);
        if (polygons > r.Fits(32, 4)) TRecord::RaiseShort();
        const size_t pointsAt = 32 + 4 * size_t(polygons);
        if (total > r.Fits(pointsAt, pointSize)) TRecord::RaiseShort();
        std::vector<QPolygonF> result;
        size_t next = 0;
        for (uint32_t i = 0; i < polygons; ++i) {
            const uint32_t count = r.U32(32 + 4 * size_t(i));
            if (count > total - next) TRecord::RaiseShort();
            const size_t at = pointsAt + next * pointSize;
            result.push_back(ReadPoints(r, at, count, pointSize / 2));
            next += count;
        }
        return result;
    }

    static QPointF Point(const TRecord& r, size_t offset) {
        return QPointF(r.I32(offset), r.I32(offset + 4));
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
        TDcState& dc = FGdi.Dc();
        switch (mode) {
        case MWT_IDENTITY:
            dc.World = QTransform();
            break;
        case MWT_LEFTMULTIPLY: // the new transform applies first
            FGdi.SetWorldTransform(transform * dc.World);
            break;
        case MWT_RIGHTMULTIPLY:
            FGdi.SetWorldTransform(dc.World * transform);
            break;
        case MWT_SET:
            FGdi.SetWorldTransform(transform);
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
            MakeLogPen(int(style & 0xFFFF), geometric ? double(r.U32(32)) : 0.0, FromBgr(r.U32(40)));
        if (r.U32(36) == BS_NULL) pen.Style = PS_NULL;
        return pen;
    }

    // A bitmap given by offsets and sizes of its header and bits within the record.
    QImage Dib(const TRecord& r, size_t offInfo, size_t sizeInfo, size_t offBits, size_t sizeBits) {
        const uint32_t infoAt = r.U32(offInfo), infoSize = r.U32(sizeInfo);
        const uint32_t bitsAt = r.U32(offBits), bitsSize = r.U32(sizeBits);
        if (infoSize == 0 || !r.Has(infoAt, infoSize) || !r.Has(bitsAt, bitsSize)) return QImage();
        return DecodeDib(r.Bytes(infoAt, infoSize), infoSize, bitsSize ? r.Bytes(bitsAt, bitsSize) : nullptr,
                         bitsSize, FGdi.Budget());
    }

    // Region rectangles are in reference-device pixels.
    void SelectClipRegion(const TRecord& r) {
        const uint32_t dataSize = r.U32(8);
        const int mode = r.I32(12);
        if (dataSize == 0) {
            if (mode == RGN_COPY) FGdi.ResetClip();
            return;
        }
        const uint32_t count = r.U32(16 + 8);
        if (count > r.Fits(16 + 32, 16)) return;
        if (!FGdi.Budget().Spend(int64_t(count) * TPlaybackBudget::PerClipElement * 4)) return;
        QPainterPath area;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t at = 16 + 32 + 16 * size_t(i);
            const QRectF rect(QPointF(r.I32(at), r.I32(at + 4)), QPointF(r.I32(at + 8), r.I32(at + 12)));
            area.addPolygon(FGdi.ReferenceToDestination().map(QPolygonF(rect.normalized())));
            area.closeSubpath();
        }
        area.setFillRule(Qt::WindingFill);
        FGdi.CombineClip(area.simplified(), mode);
    }

    void BitBlt(const TRecord& r, bool stretch) {
        const QRectF target(r.I32(24), r.I32(28), r.I32(32), r.I32(36));
        const uint32_t rop = r.U32(40);
        if (r.U32(88) == 0) return FGdi.FillBlock(target.normalized(), rop); // no source bitmap
        const QImage image = Dib(r, 84, 88, 92, 96);
        const QSizeF sourceSize = stretch ? QSizeF(r.I32(100), r.I32(104)) : target.size();
        // The source transform of a blit is assumed to be the identity.
        FGdi.DrawBitmap(image, target, QRectF(QPointF(r.I32(44), r.I32(48)), sourceSize), rop);
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
        FGdi.DrawBitmap(image, target, QRectF(xSrc, top, cxSrc, cySrc), r.U32(68));
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
        FGdi.DrawText(reference, QString::fromStdU16String(text), dx, options,
                      hasBox ? std::optional<QRectF>(box) : std::nullopt);
    }

    TGdiPlayback FGdi;
    const TRecord& FFile;
};

} // namespace

void PlayEnhancedMetafile(const uint8_t* data, size_t size, TCanvas& canvas, const TRect& rect) {
    if (!data || canvas.Width() <= 0 || canvas.Height() <= 0 || rect.IsEmpty()) return;
    QImage image = WrapCanvas(canvas);
    QPainter painter(&image);
    const TRecord file(data, size);
    TEmfPlayback(painter, Destination(rect), file).Play();
}
