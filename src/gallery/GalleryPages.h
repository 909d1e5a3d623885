#pragma once
// The gallery's HTML: the index of a destination and the page of an album.
// Static pages with no script, every text escaped, every link relative, so
// that they open from file:// as from any web server.

#include "gallery/GalleryModel.h"

#include <string>
#include <vector>

// The gallery's own folder in each album folder: its page and thumbnails.
// Hidden, as the temporary files are, so that no picture name is taken.
inline constexpr const char* GalleryFolderName = ".quillora-gallery";

// What the pages know of an album beyond the model.
struct TAlbumExtras {
    std::string Description;        // UTF-8
    std::vector<bool> HasThumbnail; // per picture of the album
    std::vector<bool> Present;      // per picture: its file is there, a plain file
    bool HasPage = false;           // its folder could take the gallery's page
};

// index.html of the destination: every account with its albums (name,
// picture count, description, a cover), each linked to its page.
std::string IndexPage(const TGalleryModel& model, const std::vector<TAlbumExtras>& extras);
// The page of one album: every picture as a thumbnail linking to the picture.
std::string AlbumPage(const TGalleryAlbum& album, const TAlbumExtras& extras);
// The file name of a picture's thumbnail, by the SHA-256 of its bytes.
std::string ThumbnailName(const std::string& sha256);
