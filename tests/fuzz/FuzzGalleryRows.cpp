// The gallery's reading of archive rows, and the escaping of every text it
// puts into a page. The input is rows, one a line, of tab-separated
// account, album, path and SHA-256. No escaped text may hold a character
// that would end a text or an attribute value.

#include "FuzzSupport.h"
#include "archive/PictureArchive.h"
#include "gallery/GalleryModel.h"
#include "gallery/GalleryPages.h"
#include "gallery/HtmlText.h"

#include <cstdlib>

namespace {

std::string Field(std::string& line) {
    const size_t tab = line.find('\t');
    std::string field = line.substr(0, tab);
    line = tab == std::string::npos ? std::string() : line.substr(tab + 1);
    return field;
}

// The only markup an escaped text may hold is the line break HtmlLines puts in.
std::string WithoutBreaks(std::string text) {
    for (size_t at; (at = text.find("<br>")) != std::string::npos;)
        text.erase(at, 4);
    return text;
}

void CheckEscaped(const std::string& text) {
    for (const std::string& out : {HtmlText(text), WithoutBreaks(HtmlLines(text))})
        if (out.find_first_of("<>\"'") != std::string::npos) std::abort();
    if (UrlPath(text).find_first_not_of(
            "%/-._~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") != std::string::npos)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    CheckEscaped(text);
    TGalleryModelBuilder builder;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        TArchivedPicture row;
        row.Account = Field(line);
        row.Album = Field(line);
        row.Path = Field(line);
        row.Sha256 = Field(line);
        builder.Add(row);
        start = end + 1;
    }
    const TGalleryModel model = builder.Finish();
    std::vector<TAlbumExtras> extras(model.Albums.size());
    for (size_t k = 0; k < model.Albums.size(); ++k) {
        const size_t pictures = model.Albums[k].Pictures.size();
        extras[k].HasThumbnail.assign(pictures, k % 2 == 0);
        extras[k].Present.assign(pictures, true);
        extras[k].HasPage = k % 3 != 0;
        AlbumPage(model.Albums[k], extras[k]);
    }
    IndexPage(model, extras);
    return 0;
}
