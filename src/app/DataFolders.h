#pragma once
// Where the program keeps what it writes: the thumbnail cache (tmp/) and the
// downloaded albums (Pic/). Run from where it was built, or copied into a
// folder of its own, it keeps both beside itself. Installed (its folder is not
// writable, or it sits in the bin/ of a prefix that holds its desktop entry),
// the albums go to the user's pictures folder and the cache to the user's
// cache folder. Paths are texts of the program's code page and end with "/".

#include <string>

std::string IconCacheFolder();
std::string PictureFolder();

// The desktop entry's file name; its presence beside bin/ marks an installation.
extern const char* const DesktopEntryName;
// Whether the program in programFolder ("/prefix/bin/") runs as an installed one.
bool RunsInstalled(const std::string& programFolder);

// For the tests alone: puts tmp/ and Pic/ under folder (ending with "/"), so
// that no test ever touches the files beside the program; "" undoes it.
void OverrideDataRootForTests(const std::string& folder);
