#include "graphics/Metafile.h"

#include "core/ByteOrder.h"

namespace {

const char* const MetafileNotValid = "Metafile is not valid";

TMetafilePlayer& Player() {
    static TMetafilePlayer player;
    return player;
}

TRect GetRect32(const uint8_t* p) {
    return TRect{GetInt32(p), GetInt32(p + 4), GetInt32(p + 8), GetInt32(p + 12)};
}

constexpr uint32_t EmfSignature = 0x464D4520; // " EMF"
constexpr uint32_t PlaceableKey = 0x9AC6CDD7;
constexpr int ScreenPixelsPerInch = 96;

// a * b / c rounded to the nearest, in 64 bits so that no size can overflow;
// the result is clamped to the int range.
int MulDiv(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return 0;
    int64_t product = a * b;
    int64_t q = (product >= 0 ? product + c / 2 : product - c / 2) / c;
    return static_cast<int>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

} // namespace

void SetMetafilePlayer(TMetafilePlayer player) {
    Player() = std::move(player);
}
const TMetafilePlayer& MetafilePlayer() {
    return Player();
}

int TMetafile::Width() const {
    return MulDiv(FMMWidth, ScreenPixelsPerInch, 2540);
}
int TMetafile::Height() const {
    return MulDiv(FMMHeight, ScreenPixelsPerInch, 2540);
}

void TMetafile::SetWidth(int value) {
    FMMWidth = MulDiv(value, 2540, ScreenPixelsPerInch);
    Changed();
}

void TMetafile::SetHeight(int value) {
    FMMHeight = MulDiv(value, 2540, ScreenPixelsPerInch);
    Changed();
}

void TMetafile::ReadPicture(TStream& stream) {
    int64_t size = stream.Size() - stream.Position();
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(size, 0)));
    stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    TMetafile parsed;
    bool enhanced =
        bytes.size() > 100 && Get32(bytes.data()) == 1 && Get32(bytes.data() + 40) == EmfSignature;
    if (!(enhanced ? parsed.TryReadEnhanced(bytes) : parsed.TryReadPlaceable(bytes)))
        throw EInvalidGraphic(MetafileNotValid);
    FData = std::move(parsed.FData);
    FEnhanced = enhanced;
    FMMWidth = parsed.FMMWidth;
    FMMHeight = parsed.FMMHeight;
    FWmfBounds = parsed.FWmfBounds;
    FInch = parsed.FInch;
    FEmfBounds = parsed.FEmfBounds;
    FEmfFrame = parsed.FEmfFrame;
    Changed();
}

bool TMetafile::TryReadEnhanced(const std::vector<uint8_t>& bytes) {
    const uint32_t total = Get32(bytes.data() + 48);
    if (total < 100) return false;
    // The header's size is read whole; a file that ends before it is cut short.
    if (total > bytes.size()) throw EReadError("Stream read error");
    FData.assign(bytes.begin(), bytes.begin() + total);
    FEmfBounds = GetRect32(bytes.data() + 8);
    FEmfFrame = GetRect32(bytes.data() + 24);
    int64_t w = int64_t(FEmfFrame.Right) - FEmfFrame.Left, h = int64_t(FEmfFrame.Bottom) - FEmfFrame.Top;
    if (w < INT32_MIN || w > INT32_MAX || h < INT32_MIN || h > INT32_MAX) return false;
    FMMWidth = static_cast<int>(w);
    FMMHeight = static_cast<int>(h);
    return true;
}

bool TMetafile::TryReadPlaceable(const std::vector<uint8_t>& bytes) {
    // The placeable header, then at least the 18-byte header of the metafile itself.
    if (bytes.size() < 22 + 18 || Get32(bytes.data()) != PlaceableKey) return false;
    uint16_t checksum = 0;
    for (int i = 0; i < 10; ++i)
        checksum ^= Get16(bytes.data() + 2 * i);
    if (checksum != Get16(bytes.data() + 20)) return false;
    const uint8_t* header = bytes.data() + 22;
    uint16_t type = Get16(header), headerWords = Get16(header + 2);
    if ((type != 1 && type != 2) || headerWords != 9) return false;
    FWmfBounds = TRect{GetInt16(bytes.data() + 6), GetInt16(bytes.data() + 8), GetInt16(bytes.data() + 10),
                       GetInt16(bytes.data() + 12)};
    FInch = Get16(bytes.data() + 14);
    if (FInch == 0) FInch = 96;
    // Truncated, not rounded: the size other readers give the same header.
    FMMWidth = static_cast<int>(int64_t(FWmfBounds.Right - FWmfBounds.Left) * 2540 / FInch);
    FMMHeight = static_cast<int>(int64_t(FWmfBounds.Bottom - FWmfBounds.Top) * 2540 / FInch);
    FData = bytes;
    return true;
}

void TMetafile::DrawInRect(TCanvas& canvas, const TRect& rect) {
    if (!Empty() && MetafilePlayer()) MetafilePlayer()(*this, canvas, rect);
}
