#include "app/AlbumTiles.h"

#include "app/Controls.h"
#include "app/DataFolders.h"
#include "app/QtText.h"
#include "app/mainUnit.h"
#include "catalogue/AlbumList.h"
#include "catalogue/LookupAlbums.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "graphics/qt/Colors.h"
#include "graphics/qt/Image.h"

#include <QLabel>

std::vector<TAlbumTile> AlbumTiles;

namespace {

const uint32_t clMoneyGreen = 0xC0DCC0, clBlue = 0xFF0000;

TCheckBox* MakeTileCheckBox(QWidget* surface, int i, const TPList& album) {
    auto* check = new TCheckBox(surface);
    check->setGeometry(8, TileTop(i), 159, 17);
    check->setText(ToQt(album.Name + "(" + IntToText(album.PicCount) + Gbk("张)")));
    check->Tag = i;
    SetColours(check, clMoneyGreen, clBlue);
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
    SetColours(label, clMoneyGreen, clBlue);
    label->show();
    return label;
}

} // namespace

void MakeAlbumTile(TAlbumTile& tile, QWidget* surface, int i, const TPList& album) {
    tile.CheckBox = MakeTileCheckBox(surface, i, album);
    tile.DescLabel = MakeTileLabel(surface, i, album);
    auto* icon = new TImage(surface);
    icon->setGeometry(178, TileTop(i), 140, 137);
    tile.IconImage = icon;
}

TImage* TileIcon(size_t index) {
    return index < AlbumTiles.size() ? AlbumTiles[index].IconImage.data() : nullptr;
}
