#pragma once
// The pictures of one album as the service's picture-list script lists them,
// and the local file name of each.

#include <string>

class TStringList;

void ParsePictureList(const std::string& script, TStringList& list);
std::string MakePictureUrl(const std::string& record);
void SkipPictureRecord(std::string& text);
// Everything after the fourth "/" of the address, trimmed.
std::string PictureFileName(const std::string& url);
