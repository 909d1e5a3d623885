#pragma once
// The offline gallery of a copy: static HTML written beside the pictures,
// from the archive alone (no network). index.html in the destination lists
// every account and album; each album folder gets a hidden folder
// (GalleryFolderName) with its page and a thumbnail per picture, named by
// the picture's SHA-256 and made only when no thumbnail of those bytes is
// there yet. Nothing outside the destination is read or written, and no
// link under it is followed.

#include <cstddef>
#include <string>
#include <vector>

class TPictureArchive;

struct TGalleryReport {
    size_t Albums = 0, Pictures = 0;
    size_t ThumbnailsMade = 0, ThumbnailsKept = 0;
    size_t LeftOut = 0; // archive rows that could not be shown
    // What could not be shown as it should, one line each ("PATH: why").
    std::vector<std::string> Problems;
};

// dest: the destination folder as a file name on disk (UTF-8). Raises
// (EFOpenError, EFCreateError, EArchiveError) when the archive cannot be
// read or index.html cannot be written; a picture without a thumbnail or
// an album folder that cannot take its page is a problem of the report.
TGalleryReport WriteGallery(TPictureArchive& archive, const std::string& dest);
