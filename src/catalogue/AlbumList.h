#pragma once
// The albums of one account as the service's album-list script lists them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TPList {
    std::string Name;       // trimmed
    std::string PicListUrl; // "http://" + path of the picture-list script
    std::string Desc;       // as it stands, not trimmed
    int32_t PicCount = 0;
    std::string IconUrl;
};

// Indexed from 0 in script order; emptied at the start of every lookup.
extern std::vector<TPList> AlbumList;

// Empties AlbumList. Every emptying starts a new generation, so that tiles
// made for an older list can be told apart from those of the current one.
void ClearAlbumList();
uint64_t AlbumListGeneration();

// What one album-list script may yield; far above any real account.
constexpr size_t MaxAlbumsPerList = 10000;
constexpr size_t MaxAlbumListBytes = size_t{64} << 20;

int AddAlbum();
std::string ExtractAlbumListUrl(const std::string& page);
// EServiceListTooLarge past the limits above; the albums read so far stay.
bool LoadAlbumList(const std::string& script);
std::string MakeIconUrl(const std::string& record);
void SkipAlbumRecord(std::string& text);
