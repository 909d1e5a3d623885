#pragma once
// The view command: the account's album list, one tile per album, the
// thumbnail cache and the summary in the log.

#include <cstddef>
#include <string>

class TCommandHost;
struct TPList;

void LookupAlbums(TCommandHost& host);
// The albums of AlbumList and their totals, appended to the log.
void ShowAlbumSummary(TCommandHost& host);
// Replaces the tiles with one per album of AlbumList, each with its thumbnail.
void BuildAlbumTiles(TCommandHost& host);
// Fetches one thumbnail into the cache and shows it; any failure costs only the picture.
void LoadTileIcon(TCommandHost& host, size_t index, const TPList& album);
// Deletes every file below folder; the folders stay.
void ClearIconCache(const std::string& folder);
// The thumbnail cache file name of an icon address: its last 23 bytes.
std::string IconCacheName(const std::string& iconUrl);
