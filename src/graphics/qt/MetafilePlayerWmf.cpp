#include "graphics/qt/MetafilePlayer.h"

#include "core/Gbk.h"
#include "graphics/qt/Colors.h"
#include "graphics/qt/MetafileGdiPlayback.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace MetafileGdi;

namespace {

// ---- Windows metafiles

// Reads the records of a Windows metafile and drives the engine with them.
class TWmfPlayback {
  public:
    TWmfPlayback(QPainter& painter, const QRectF& destination, const TRecord& file, const TRect& bounds)
        : FGdi(painter, destination), FFile(file) {
        // The logical window (the placeable box until the file sets its own)
        // fills the destination.
        TDcState& dc = FGdi.Dc();
        dc.MapMode = MM_ANISOTROPIC;
        dc.WindowOrg = QPointF(bounds.Left, bounds.Top);
        dc.WindowExt = QPointF(bounds.Width(), bounds.Height());
        dc.ViewportOrg = destination.topLeft();
        dc.ViewportExt = QPointF(destination.width(), destination.height());
    }

    void Play() {
        const std::optional<TWmfHeader> header = ReadWmfHeader(FFile);
        if (!header) return;
        FGdi.ResizeObjectTable(header->Objects);
        WalkWmfRecords(FFile, [this](TWmfRecordType function, const TRecord& record) {
            return FGdi.PlayWithinBudget([&] { PlayRecord(function, record); });
        });
    }

  private:
    // Parameters follow the 6-byte record head, as 16-bit words.
    static int P(const TRecord& r, size_t index) { return r.I16(6 + 2 * index); }
    static uint32_t P32(const TRecord& r, size_t index) { return r.U32(6 + 2 * index); }
    static QPointF YX(const TRecord& r, size_t index) { return QPointF(P(r, index + 1), P(r, index)); }

    // One record; the types not listed are skipped.
    void PlayRecord(TWmfRecordType function, const TRecord& r) {
        using enum TWmfRecordType;
        using TArcKind = TGdiPlayback::TArcKind;
        TDcState& dc = FGdi.Dc();
        switch (function) {
        case META_SETBKCOLOR:
            dc.BkColor = FromBgr(P32(r, 0));
            break;
        case META_SETBKMODE:
            dc.BkOpaque = P(r, 0) == 2;
            break;
        case META_SETPOLYFILLMODE:
            dc.FillRule = P(r, 0) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case META_SETTEXTCOLOR:
            dc.TextColor = FromBgr(P32(r, 0));
            break;
        case META_SETTEXTALIGN:
            dc.TextAlign = uint16_t(P(r, 0));
            break;
        case META_SETWINDOWORG:
            dc.WindowOrg = YX(r, 0);
            break;
        case META_SETWINDOWEXT:
            dc.WindowExt = YX(r, 0);
            break;
        case META_OFFSETWINDOWORG:
            dc.WindowOrg += YX(r, 0);
            break;
        case META_SCALEWINDOWEXT:
            if (P(r, 0) != 0 && P(r, 2) != 0)
                dc.WindowExt =
                    QPointF(dc.WindowExt.x() * P(r, 3) / P(r, 2), dc.WindowExt.y() * P(r, 1) / P(r, 0));
            break;
        case META_SAVEDC:
            FGdi.SaveDC();
            break;
        case META_RESTOREDC:
            FGdi.RestoreDC(P(r, 0));
            break;
        case META_SELECTOBJECT:
            FGdi.SelectObjectAt(uint16_t(P(r, 0)));
            break;
        case META_DELETEOBJECT:
            FGdi.DeleteObject(uint16_t(P(r, 0)));
            break;
        case META_CREATEPENINDIRECT:
            FGdi.AddObject(PenObject(MakeLogPen(uint16_t(P(r, 0)), P(r, 1), FromBgr(P32(r, 3)))));
            break;
        case META_CREATEBRUSHINDIRECT:
            FGdi.AddObject(BrushObject(uint16_t(P(r, 0)), FromBgr(P32(r, 1)), P(r, 3)));
            break;
        case META_CREATEFONTINDIRECT:
            FGdi.AddObject(FontObject(ReadLogFont(r)));
            break;
        case META_DIBCREATEPATTERNBRUSH: {
            const TRecord dib(r.Bytes(10, r.Size() - 10), r.Size() - 10);
            FGdi.AddObject(BrushObject(5, Qt::black, 0, PackedDib(dib)));
            break;
        }
        case META_CREATEPATTERNBRUSH:
        case META_CREATEPALETTE:
        case META_CREATEREGION:
            // Not drawn, but they take a slot like every object.
            FGdi.AddObject(function == META_CREATEPATTERNBRUSH ? BrushObject(BS_SOLID, Qt::black, 0)
                                                               : TGdiObject{});
            break;
        case META_LINETO:
            FGdi.LineTo(YX(r, 0));
            break;
        case META_MOVETO:
            FGdi.MoveTo(YX(r, 0));
            break;
        case META_EXCLUDECLIPRECT:
        case META_INTERSECTCLIPRECT:
            FGdi.IntersectClip(QRectF(QPointF(P(r, 3), P(r, 2)), QPointF(P(r, 1), P(r, 0))).normalized(),
                               function == META_EXCLUDECLIPRECT);
            break;
        case META_ELLIPSE:
            FGdi.Ellipse(P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case META_RECTANGLE:
            FGdi.Rectangle(P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case META_ROUNDRECT:
            FGdi.RoundRect(P(r, 5), P(r, 4), P(r, 3), P(r, 2), P(r, 1), P(r, 0));
            break;
        case META_ARC:
        case META_PIE:
        case META_CHORD: {
            const TArcKind kind = function == META_ARC   ? TArcKind::Arc
                                  : function == META_PIE ? TArcKind::Pie
                                                         : TArcKind::Chord;
            FGdi.ArcShape(kind, P(r, 7), P(r, 6), P(r, 5), P(r, 4), YX(r, 2), YX(r, 0));
            break;
        }
        case META_SETPIXEL:
            FGdi.SetPixel(YX(r, 2), FromBgr(P32(r, 0)));
            break;
        case META_POLYGON:
        case META_POLYLINE:
            FGdi.Poly(ReadPoints16(r, 8, uint16_t(P(r, 0))), function == META_POLYGON);
            break;
        case META_POLYPOLYGON:
            FGdi.PolyPolygon(ReadPolyPolygon(r), true);
            break;
        case META_PATBLT:
            FGdi.FillBlock(QRectF(P(r, 5), P(r, 4), P(r, 3), P(r, 2)).normalized(), P32(r, 0));
            break;
        case META_TEXTOUT:
            TextOut(r);
            break;
        case META_EXTTEXTOUT:
            ExtTextOut(r);
            break;
        case META_DIBBITBLT:
        case META_DIBSTRETCHBLT:
            DibBlt(r, function);
            break;
        case META_STRETCHDIB:
            StretchDib(r);
            break;
        default:
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
                         dib.Size() - infoSize, FGdi.Budget());
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
        FGdi.DrawText(QPointF(r.I16(after + 2), r.I16(after)), text, {}, 0, std::nullopt);
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
        FGdi.DrawText(reference, text, dx, options, box);
    }

    void DibBlt(const TRecord& r, TWmfRecordType type) {
        const bool stretch = type == TWmfRecordType::META_DIBSTRETCHBLT;
        const uint16_t function = uint16_t(type);
        const uint32_t rop = P32(r, 0);
        // Without a bitmap the record is shorter by the DIB and longer by one reserved word.
        if (r.Size() / 2 == size_t(function >> 8) + 3u) {
            const size_t i = stretch ? 7 : 5;
            FGdi.FillBlock(QRectF(P(r, i + 3), P(r, i + 2), P(r, i + 1), P(r, i)).normalized(), rop);
            return;
        }
        const size_t fixed = stretch ? 10 : 8;
        const TRecord dib(r.Bytes(6 + 2 * fixed, r.Size() - 6 - 2 * fixed), r.Size() - 6 - 2 * fixed);
        const QImage image = PackedDib(dib);
        if (stretch) {
            FGdi.DrawBitmap(image, QRectF(P(r, 9), P(r, 8), P(r, 7), P(r, 6)),
                            QRectF(P(r, 5), P(r, 4), P(r, 3), P(r, 2)), rop);
        } else {
            FGdi.DrawBitmap(image, QRectF(P(r, 7), P(r, 6), P(r, 5), P(r, 4)),
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
        FGdi.DrawBitmap(image, QRectF(P(r, 10), P(r, 9), P(r, 8), P(r, 7)),
                        QRectF(P(r, 6), top, P(r, 4), cySrc), P32(r, 0));
    }

    TGdiPlayback FGdi;
    const TRecord& FFile;
};

} // namespace

void PlayWindowsMetafile(const uint8_t* data, size_t size, const TRect& bounds, TCanvas& canvas,
                         const TRect& rect) {
    if (!data || canvas.Width() <= 0 || canvas.Height() <= 0 || rect.IsEmpty()) return;
    QImage image = WrapCanvas(canvas);
    QPainter painter(&image);
    const TRecord file(data, size);
    TWmfPlayback(painter, Destination(rect), file, bounds).Play();
}
