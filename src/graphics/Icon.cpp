#include "graphics/Icon.h"

int TIcon::Width() const {
    return FImage ? FImage->Width() : SystemIconSize;
}
int TIcon::Height() const {
    return FImage ? FImage->Height() : SystemIconSize;
}
void TIcon::SetWidth(int value) {
    FRequestedWidth = value;
}
void TIcon::SetHeight(int value) {
    FRequestedHeight = value;
}
void TIcon::ReadPicture(TStream&) {
    throw EInvalidGraphic("Icon image is not valid");
}
void TIcon::HandleNeeded() {}
void TIcon::DrawInRect(TCanvas&, const TRect&) {}
int TIcon::ChooseEntry(const std::vector<TIconDirEntry>&, int, int, int) {
    return 0;
}
