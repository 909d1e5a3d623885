#pragma once
// Several accounts in one run: the accounts to copy, the albums chosen in
// each, and one plan over all of them, so that one pool of workers fetches
// every picture and no two workers ever write one file.

#include "GetTypes.h"

#include <string>
#include <vector>

// The accounts of an --input-file: one a line, blank lines and "#" comments
// left out; "-" is standard input. EGetUsage when it cannot be read.
std::vector<std::string> ReadAccountFile(const std::string& path);
// The indexes of albums named by --album or matched by --match (every album
// without either); EGetUsage for an --album that is not there.
std::vector<size_t> ChooseAlbums(const std::vector<TPList>& albums, const TGetOptions& options);
// Adds the plan of one account to the run's. A file planned by an earlier
// account and again by a later one is the later one's, as in the window.
void AppendRun(TRunResult& total, TRunResult&& part);
