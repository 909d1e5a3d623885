#pragma once
// The pictures of one album as the service's picture-list script lists them,
// and the local file name of each.

#include <cstddef>
#include <string>

class TStringList;

// What one picture-list script may yield; far above any real album.
constexpr size_t MaxPicturesPerList = 100000;
constexpr size_t MaxPictureListBytes = size_t{64} << 20;

// EServiceListTooLarge past the limits above; the addresses read so far stay in list.
void ParsePictureList(const std::string& script, TStringList& list);
std::string MakePictureUrl(const std::string& record);
void SkipPictureRecord(std::string& text);
// Everything after the fourth "/" of the address, trimmed.
std::string PictureFileName(const std::string& url);
