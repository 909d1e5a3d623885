#include "app/WindowHost.h"

#include "app/AlbumTiles.h"
#include "app/Controls.h"
#include "app/DataFolders.h"
#include "app/QtText.h"
#include "app/Reporter.h"
#include "app/mainUnit.h"
#include "catalogue/LookupAlbums.h"
#include "download/DownloadAlbums.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"

#include <QLineEdit>

void TWindowHost::Report(const std::string& channel, const std::string& message) {
    FForm.Report(channel, message);
}

void TWindowHost::AppendLogLine(const std::string& line) {
    FForm.AppendLogLine(line);
}

void TWindowHost::ProcessEvents() {
    ProcessPendingEvents();
}

void TWindowHost::Warn(const std::string& message) {
    ShowWarning(message);
}

std::string TWindowHost::AccountName() {
    return FromQt(FForm.edtUserName->text());
}

void TWindowHost::EnableAlbumBox(bool enabled) {
    FForm.scrlbx->setEnabled(enabled);
}

TRzProgressBar* TWindowHost::Bar(TBar bar) const {
    return bar == TBar::Albums ? FForm.sb1 : FForm.sb2;
}

void TWindowHost::SetBarTotal(TBar bar, uint32_t parts) {
    Bar(bar)->SetTotalParts(parts);
}

void TWindowHost::SetBarDone(TBar bar, uint32_t parts) {
    Bar(bar)->SetPartsComplete(parts);
}

void TWindowHost::ShowPreview(const std::string& path) {
    FForm.img2->Picture().LoadPictureFile(path);
    FForm.PaintNextPass();
}

void TWindowHost::FreeTiles() {
    FForm.FreeAlbumTiles();
}

void TWindowHost::MakeTileSlots(size_t count) {
    if (AlbumTiles.size() < count) AlbumTiles.resize(count);
}

void TWindowHost::AddTile(size_t index, const TPList& album, uint64_t generation) {
    TAlbumTile& tile = AlbumTiles.at(index);
    tile.Generation = generation;
    MakeAlbumTile(tile, FForm.scrlbx->Surface(), static_cast<int>(index), album);
}

void TWindowHost::LoadTileIcon(size_t index, const std::string& path) {
    if (TImage* icon = TileIcon(index)) {
        icon->SetStretch(true);
        icon->Picture().LoadPictureFile(path);
    }
}

void TWindowHost::FinishTile(size_t index) {
    if (TImage* icon = TileIcon(index)) icon->show();
    FForm.scrlbx->UpdateRange();
}

std::vector<TTileChoice> TWindowHost::TileChoices() {
    std::vector<TTileChoice> choices;
    for (const TAlbumTile& tile : AlbumTiles) {
        TTileChoice& choice = choices.emplace_back();
        choice.Generation = tile.Generation;
        if (!tile.CheckBox) continue;
        choice.Ticked = tile.CheckBox->isChecked();
        choice.Index = tile.CheckBox->Tag;
    }
    return choices;
}

std::string TWindowHost::IconCacheFolder() {
    return ::IconCacheFolder();
}

std::string TWindowHost::PictureFolder() {
    return ::PictureFolder();
}
