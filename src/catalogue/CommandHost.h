#pragma once
// What the lookup and download commands need of the window they run in: a
// log and a status line, the two bars, the preview, the album tiles, event
// processing and warnings. The commands are written against this alone, so
// they run the same in the window and in a test without one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TPList;

// The album bar (sb1) and the picture bar (sb2).
enum class TBar { Albums, Pictures };

// What a tile's check box says when a download starts.
struct TTileChoice {
    bool Ticked = false;
    int Index = -1;          // the album index the tile was made for
    uint64_t Generation = 0; // the AlbumList generation it was made for
};

class TCommandHost {
  public:
    virtual ~TCommandHost() = default;

    // Channel "A": the status line; channel "B": a time-stamped log line.
    // Either way pending events are processed afterwards (see ProcessEvents).
    virtual void Report(const std::string& channel, const std::string& message) = 0;
    // A log line as it is: no time, no event processing.
    virtual void AppendLogLine(const std::string& line) = 0;
    // Processes pending events; raises the silent EAbort when the window was
    // closed under the running command.
    virtual void ProcessEvents() = 0;
    // The same while a fetch made ahead is still on its way: the window stays
    // responsive, and a close there stops the command as anywhere else.
    virtual void KeepResponsive() { ProcessEvents(); }
    virtual void Warn(const std::string& message) = 0;

    // The account name as typed.
    virtual std::string AccountName() = 0;
    virtual void EnableAlbumBox(bool enabled) = 0;
    virtual void SetBarTotal(TBar bar, uint32_t parts) = 0;
    virtual void SetBarDone(TBar bar, uint32_t parts) = 0;
    // Loads a saved picture into the preview; raises when it is no picture.
    virtual void ShowPreview(const std::string& path) = 0;

    // Destroys every tile.
    virtual void FreeTiles() = 0;
    // Makes room for count tiles (never fewer than there are).
    virtual void MakeTileSlots(size_t count) = 0;
    // Fills slot index with the tile of album: ticked check box, description
    // and an empty thumbnail.
    virtual void AddTile(size_t index, const TPList& album, uint64_t generation) = 0;
    // Loads the thumbnail file into the tile, if the tile is still there;
    // raises when it is no picture.
    virtual void LoadTileIcon(size_t index, const std::string& path) = 0;
    // Shows the tile's thumbnail, if it is still there, and the tile in the box.
    virtual void FinishTile(size_t index) = 0;
    virtual std::vector<TTileChoice> TileChoices() = 0;

    // The thumbnail cache and the folder of the albums, each ending with "/".
    virtual std::string IconCacheFolder() = 0;
    virtual std::string PictureFolder() = 0;
};

