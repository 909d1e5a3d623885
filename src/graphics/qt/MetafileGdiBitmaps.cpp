// Bitmaps in metafile records: decoding device-independent bitmaps, and
// the engine's block transfers with and without a source.

#include "graphics/Bitmap.h"
#include "graphics/qt/MetafileGdiPlayback.h"

#include <cstdlib>

namespace MetafileGdi {

// ---- Device-independent bitmaps

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

// ---- Block transfers

void TGdiPlayback::FillBlock(const QRectF& logical, uint32_t rop) {
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

} // namespace MetafileGdi
