#include "graphics/MetafileRecords.h"

#include <algorithm>

namespace {

TRect ReadRect32(const TBoundedReader& r, size_t offset) {
    return TRect{r.I32(offset), r.I32(offset + 4), r.I32(offset + 8), r.I32(offset + 12)};
}

} // namespace

std::optional<TEmfHeader> ReadEmfHeader(const TBoundedReader& file) {
    if (!file.Has(0, 88) || file.U32(0) != uint32_t(TEmfRecordType::EMR_HEADER)) return std::nullopt;
    TEmfHeader header;
    header.Bounds = ReadRect32(file, 8);
    header.Frame = ReadRect32(file, 24);
    header.Handles = file.U16(56);
    header.DevicePixelsX = file.I32(72);
    header.DevicePixelsY = file.I32(76);
    header.DeviceMillimetersX = file.I32(80);
    header.DeviceMillimetersY = file.I32(84);
    return header;
}

std::optional<TWmfHeader> ReadWmfHeader(const TBoundedReader& file) {
    if (!file.Has(0, 18)) return std::nullopt;
    TWmfHeader header;
    // The header's own size, in words; never less than the header itself.
    header.RecordsAt = std::max<size_t>(size_t(file.U16(2)) * 2, 18);
    header.Objects = file.U16(10);
    return header;
}

void WalkEmfRecords(const TBoundedReader& file, const TRecordConsumer<TEmfRecordType>& consume) {
    size_t offset = 0;
    while (file.Has(offset, 8)) {
        const auto type = TEmfRecordType(file.U32(offset));
        const uint32_t size = file.U32(offset + 4);
        if (size < 8 || !file.Has(offset, size)) return;
        if (!consume(type, file.Sub(offset, size)) || type == TEmfRecordType::EMR_EOF) return;
        offset += size;
    }
}

void WalkWmfRecords(const TBoundedReader& file, const TRecordConsumer<TWmfRecordType>& consume) {
    const std::optional<TWmfHeader> header = ReadWmfHeader(file);
    if (!header) return;
    size_t offset = header->RecordsAt;
    while (file.Has(offset, 6)) {
        // The size is in 16-bit words.
        const uint64_t size = uint64_t(file.U32(offset)) * 2;
        const auto function = TWmfRecordType(file.U16(offset + 4));
        if (size < 6 || !file.Has(offset, size_t(size)) || function == TWmfRecordType::META_EOF) return;
        if (!consume(function, file.Sub(offset, size_t(size)))) return;
        offset += size_t(size);
    }
}
