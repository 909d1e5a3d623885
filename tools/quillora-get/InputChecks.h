#pragma once
// What quillora-get checks before its first request: account names that
// can stand as the path of a home page, album names that can name a folder,
// and the folders and files it is asked to write. Texts and paths are in
// the program's code page (GBK).

#include <string>

// Why account cannot be the path of its home page (a control character, a
// blank, "/", "?", "#", or "%" that starts no escape), naming the account and
// the character; empty when it can.
std::string AccountNameProblem(const std::string& account);
// Why an album of this name gets no folder of its own: a blank name (".",
// ".." and "/" are refused where its folder is named); empty when it does.
std::string AlbumNameProblem(const std::string& name);
// Why path cannot be written: a file where a folder must be (or the other
// way round), or a folder above it that cannot be written. folder: path is
// to be a folder (created when missing). Empty when it can be used.
std::string PathProblem(const std::string& path, bool folder);
// Creates the folders above the file path, as --dest's are created.
void MakeParentFolders(const std::string& path);
