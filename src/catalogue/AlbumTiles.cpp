#include "catalogue/AlbumTiles.h"

#include "core/Classes.h"
#include "app/Controls.h"
#include "app/DataFolders.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "app/QtText.h"
#include "core/TextUtils.h"
#include "app/mainUnit.h"
#include "catalogue/AlbumList.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"

#include <QLabel>

std::vector<TAlbumTile> AlbumTiles;

namespace {

QColor FromBgr(unsigned bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

void TileColours(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, FromBgr(0xC0DCC0));     // clMoneyGreen
    p.setColor(QPalette::WindowText, FromBgr(0xFF0000)); // clBlue
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

} // namespace

std::string IconCacheName(const std::string& iconUrl) {
    const auto length = static_cast<int64_t>(iconUrl.size());
    return TextCopy(iconUrl, length - 22, 24);
}

std::string FetchTextWithSettings(const std::string& url) {
    return FetchBoundedText(url);
}

bool TfrmMain::DownloadFile(const std::string& url, const std::string& path) {
    TMemoryStream stream;
    FetchBoundedFile(url, stream);
    SaveBytesToFile(stream, path);
    return true;
}

void TfrmMain::FreeAlbumTiles() {
    for (TAlbumTile& tile : AlbumTiles) {
        delete tile.CheckBox.data();
        delete tile.DescLabel.data();
        delete tile.IconImage.data();
    }
    AlbumTiles.clear();
    scrlbx->UpdateRange();
}

void TfrmMain::ClearIconCache() {
    TStringList list;
    FindFiles(IconCacheFolder(), "*.*", list);
    for (const std::string& path : list)
        RemoveFile(path);
}

void TfrmMain::chk2Click() {
    for (TAlbumTile& tile : AlbumTiles)
        if (tile.CheckBox) tile.CheckBox->setChecked(chk2->isChecked());
}

namespace {

TCheckBox* MakeTileCheckBox(QWidget* surface, int i, const TPList& album) {
    auto* check = new TCheckBox(surface);
    check->setGeometry(8, TileTop(i), 159, 17);
    check->setText(ToQt(album.Name + "(" + IntToText(album.PicCount) + Gbk("张)")));
    check->Tag = i;
    TileColours(check);
    check->setChecked(true);
    check->show();
    return check;
}

QLabel* MakeTileLabel(QWidget* surface, int i, const TPList& album) {
    auto* label = new QLabel(surface);
    label->setGeometry(8, TileTop(i) + 24, 159, 113);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(ToQt(album.Desc));
    TileColours(label);
    label->show();
    return label;
}

} // namespace

// Fetches and shows one thumbnail; any failure costs only the picture. The
// warning processes events, and closing the window there frees the control:
// it is reached only through the guarded pointer.
void TfrmMain::LoadTileIcon(QPointer<TImage> icon, const TPList& album) {
    try {
        const std::string name = IconCacheName(album.IconUrl);
        const std::string path = IconCacheFolder() + name;
        if (!IsPlainFileName(name)) RaiseCannotCreate(path);
        DownloadFile(album.IconUrl, path);
        icon->SetStretch(true);
        icon->Picture().LoadPictureFile(path);
    } catch (...) {
        Report("B", Gbk("========警告:下载出错======="));
    }
    if (icon) icon->show();
}

bool TfrmMain::BuildAlbumTiles() {
    Report("B", Gbk("下载像册缩略图...请稍候..."));
    FreeAlbumTiles();
    ProcessPendingEvents();
    MakeFolders(IconCacheFolder());
    const int n = static_cast<int>(AlbumList.size());
    const uint64_t generation = AlbumListGeneration();
    AlbumTiles.resize(static_cast<size_t>(n));
    sb1->SetTotalParts(static_cast<uint32_t>(n - 1));
    sb1->SetPartsComplete(0);
    QWidget* surface = scrlbx->Surface();
    for (int i = 0; i < n; ++i) {
        sb1->SetPartsComplete(static_cast<uint32_t>(i));
        // A copy: the record must outlive whatever runs nested in the reports.
        const TPList album = AlbumList[static_cast<size_t>(i)];
        Report("B", Gbk("正在读取像册: <") + album.Name + Gbk("> 的信息..."));
        ProcessPendingEvents();
        // Freeing the tiles meanwhile empties the array; the rest are still made.
        if (AlbumTiles.size() < static_cast<size_t>(n)) AlbumTiles.resize(static_cast<size_t>(n));
        TAlbumTile& tile = AlbumTiles[static_cast<size_t>(i)];
        tile.Generation = generation;
        tile.CheckBox = MakeTileCheckBox(surface, i, album);
        tile.DescLabel = MakeTileLabel(surface, i, album);
        auto* icon = new TImage(surface);
        icon->setGeometry(178, TileTop(i), 140, 137);
        tile.IconImage = icon;
        LoadTileIcon(tile.IconImage, album);
        scrlbx->UpdateRange();
    }
    Report("B", Gbk("像册缩略图下载完成..."));
    return true;
}
