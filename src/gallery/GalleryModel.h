#pragma once
// What the gallery shows, read from the archive's rows alone: the accounts
// with their albums, and each album folder with its pictures in order. The
// rows are hostile input like any file the program did not just write:
// a row whose path is not Pic/<folder>/<file> of plain names, whose texts are
// longer than any the program writes, or beyond the row budget is left out
// and counted.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TArchivedPicture;

struct TGalleryPicture {
    std::string File;   // the file name in its album folder (UTF-8, as on disk)
    std::string Sha256; // lower-case hex of 64 digits, or empty when unknown
};

// One album folder under Pic/: albums of one name share it, as they share the folder.
struct TGalleryAlbum {
    std::string Folder;
    std::string Name;                      // as the archive names it (the folder's name when it names none)
    std::vector<TGalleryPicture> Pictures; // each file once, in natural order (IMG_2 before IMG_10)
};

struct TGalleryEntry {
    size_t Album = 0;    // index into TGalleryModel::Albums
    size_t Pictures = 0; // of this account in the folder
};

struct TGalleryAccount {
    std::string Name;
    std::vector<TGalleryEntry> Albums; // by folder name
};

struct TGalleryModel {
    std::vector<TGalleryAccount> Accounts; // by name
    std::vector<TGalleryAlbum> Albums;     // by folder name
    size_t LeftOut = 0;                    // rows that could not be shown
};

// The archive holds more than anyone keeps in one destination: a million
// pictures, and texts as long as a path may be.
constexpr size_t GalleryMaxRows = 1000000;
constexpr size_t GalleryMaxText = 4096;

class TGalleryModelBuilder {
  public:
    // Takes one row; false when it was left out.
    bool Add(const TArchivedPicture& row);
    TGalleryModel Finish();

  private:
    struct TRow {
        std::string Account, Album, Folder, File, Sha256;
    };
    std::vector<TRow> FRows;
    size_t FLeftOut = 0;
};

// Natural order of names: runs of digits compare by their value.
bool NaturalLess(const std::string& a, const std::string& b);
