#pragma once
// Where an album and its pictures are stored, and its description file:
// the download command's rules, free of Qt, for every program that stores
// albums. Paths are texts of the program's code page.

#include <string>

struct TPList;

struct TAlbumFiles {
    std::string Folder;          // <root>Pic/<trimmed name>
    std::string DescriptionFile; // <folder>/<trimmed name>.txt
};

// The album's folder and description file under root (which ends with "/").
// A name that would lead outside Pic/ raises EFCreateError for the
// description file, as a name the file system rejects would.
TAlbumFiles AlbumFilesFor(const std::string& root, const std::string& albumName);
// The same directly under pictureFolder (which ends with "/"), for a program
// whose albums folder is not named Pic/.
TAlbumFiles AlbumFilesIn(const std::string& pictureFolder, const std::string& albumName);
// Creates the album's folder and writes its description, byte for byte.
void WriteAlbumFiles(const TAlbumFiles& files, const TPList& album);
// AlbumFilesFor and WriteAlbumFiles in one.
TAlbumFiles WriteAlbumFolder(const std::string& root, const TPList& album);
// The file of one picture of the album; a file name from the address that
// would leave the folder raises EFCreateError for the path.
std::string PicturePath(const TAlbumFiles& album, const std::string& pictureUrl);
