#pragma once
// Where a picture lives while it is written: its temporary file's name.

#include <string>

// The temporary file of the picture at path: a hidden name beside it, made
// of a 128-bit hash of the picture's name. Short whatever the picture's name
// (a 255-byte name still has its part), the same in every run (so a later
// run finds it to resume), and of a form no picture may take (see
// IsPartFileName), so it is never another picture's final or temporary file.
std::string PartPathFor(const std::string& path);
// Whether a file name (without folder) has the form of a temporary file.
bool IsPartFileName(const std::string& fileName);
