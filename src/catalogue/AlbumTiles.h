#pragma once
// The tiles of the album browser: one check box, description label and
// thumbnail per album of AlbumList.

#include <QPointer>
#include <cstdint>
#include <vector>

class QLabel;
class TCheckBox;
class TImage;

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

// The thumbnail cache file name of an icon address: its last 23 bytes.
std::string IconCacheName(const std::string& iconUrl);
// Fetches a URL with the program's client settings, as text.
std::string FetchTextWithSettings(const std::string& url);
