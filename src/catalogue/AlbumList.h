#pragma once
// The albums of one account as the service's album-list script lists them.

#include <cstddef>
#include <cstdint>
#include <functional>
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
// The same into albums: a list of one's own, apart from the window's.
bool LoadAlbumList(const std::string& script, std::vector<TPList>& albums);

// Fetches a page: its body, or an exception.
using TTextFetch = std::function<std::string(const std::string& url)>;
// An account's albums: its home page, then the album list that page names,
// each got with fetch, the albums appended to albums. Exception "The
// account's home page names no album list" when the page has none; answers
// what LoadAlbumList answers.
bool LoadAccountAlbums(const std::string& account, const TTextFetch& fetch, std::vector<TPList>& albums);
std::string MakeIconUrl(const std::string& record);
void SkipAlbumRecord(std::string& text);
