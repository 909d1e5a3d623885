#pragma once
// The tiles of the album browser: one check box, description label and
// thumbnail per album of AlbumList, on the scroll box of the window.

#include <QPointer>
#include <cstdint>
#include <vector>

class QLabel;
class QWidget;
class TCheckBox;
class TImage;
struct TPList;

struct TAlbumTile {
    QPointer<TCheckBox> CheckBox; // Tag = the album's index in AlbumList
    QPointer<QLabel> DescLabel;
    QPointer<TImage> IconImage;
    // The AlbumList generation the tile was made for; a tile of an older
    // list shows an album that is no longer there.
    uint64_t Generation = 0;
};

extern std::vector<TAlbumTile> AlbumTiles;

// Distance between the tops of two rows of tiles.
constexpr int TileRowPitch = 151;
// Top of a tile's check box and picture (the first row sits one pixel lower).
inline int TileTop(int i) {
    return i == 0 ? 1 : i * TileRowPitch;
}

// Makes the controls of tile i on surface: ticked check box, description and
// an empty, hidden thumbnail.
void MakeAlbumTile(TAlbumTile& tile, QWidget* surface, int i, const TPList& album);
// The tile's thumbnail while it still exists, else null.
TImage* TileIcon(size_t index);
