#include "graphics/Metafile.h"

namespace {
TMetafilePlayer& Player() {
    static TMetafilePlayer player;
    return player;
}
} // namespace

void SetMetafilePlayer(TMetafilePlayer player) {
    Player() = std::move(player);
}
const TMetafilePlayer& MetafilePlayer() {
    return Player();
}

int TMetafile::Width() const {
    return 0;
}
int TMetafile::Height() const {
    return 0;
}
void TMetafile::SetWidth(int) {}
void TMetafile::SetHeight(int) {}
void TMetafile::ReadPicture(TStream&) {
    throw EInvalidGraphic("Metafile is not valid");
}
void TMetafile::DrawInRect(TCanvas& canvas, const TRect& rect) {
    if (!Empty() && MetafilePlayer()) MetafilePlayer()(*this, canvas, rect);
}
