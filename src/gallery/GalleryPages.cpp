#include "gallery/GalleryPages.h"

#include "gallery/HtmlText.h"

namespace {

// Thumbnails keep a square box of their own, so that a page of thousands
// is laid out before any of them has loaded.
constexpr const char* Style = "body{font-family:sans-serif;margin:1em;background:#fafafa;color:#222}"
                              "ul{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:12px}"
                              "li{width:200px}"
                              "img{width:200px;height:200px;object-fit:contain;background:#eee;display:block}"
                              ".missing{width:200px;height:200px;display:flex;align-items:center;"
                              "justify-content:center;background:#eee;word-break:break-all}"
                              ".count{color:#666}.desc{font-size:90%}";

std::string Head(const std::string& title) {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           HtmlText(title) + "</title>\n<style>" + Style + "</style>\n</head>\n<body>\n";
}

std::string FolderLink(const TGalleryAlbum& album) {
    return "Pic/" + UrlPath(album.Folder) + "/" + UrlPath(GalleryFolderName) + "/";
}

std::string Cover(const TGalleryAlbum& album, const TAlbumExtras& extras) {
    for (size_t k = 0; k < album.Pictures.size(); ++k)
        if (extras.HasThumbnail[k])
            return "<img src=\"" + FolderLink(album) + ThumbnailName(album.Pictures[k].Sha256) +
                   "\" alt=\"\" loading=\"lazy\">";
    return "<span class=\"missing\">" + HtmlText(album.Name) + "</span>";
}

std::string AlbumItem(const TGalleryAlbum& album, const TAlbumExtras& extras, size_t pictures) {
    const std::string name = HtmlText(album.Name);
    std::string item = "<li>";
    if (extras.HasPage)
        item += "<a href=\"" + FolderLink(album) + "index.html\">" + Cover(album, extras) +
                "</a>\n<div><a href=\"" + FolderLink(album) + "index.html\">" + name + "</a></div>\n";
    else
        item += Cover(album, extras) + "\n<div>" + name + "</div>\n";
    item += "<div class=\"count\">" + std::to_string(pictures) + (pictures == 1 ? " picture" : " pictures") +
            "</div>\n";
    if (!extras.Description.empty()) item += "<p class=\"desc\">" + HtmlLines(extras.Description) + "</p>\n";
    return item + "</li>\n";
}

} // namespace

std::string ThumbnailName(const std::string& sha256) {
    return sha256 + ".png";
}

std::string IndexPage(const TGalleryModel& model, const std::vector<TAlbumExtras>& extras) {
    std::string page = Head("Albums") + "<h1>Albums</h1>\n";
    if (model.Accounts.empty()) page += "<p>The archive records no picture yet.</p>\n";
    for (const TGalleryAccount& account : model.Accounts) {
        page += "<section>\n<h2>" + HtmlText(account.Name.empty() ? "(no account)" : account.Name) +
                "</h2>\n<ul>\n";
        for (const TGalleryEntry& entry : account.Albums)
            page += AlbumItem(model.Albums[entry.Album], extras[entry.Album], entry.Pictures);
        page += "</ul>\n</section>\n";
    }
    return page + "</body>\n</html>\n";
}

std::string AlbumPage(const TGalleryAlbum& album, const TAlbumExtras& extras) {
    std::string page = Head(album.Name) + "<p><a href=\"../../../index.html\">All albums</a></p>\n<h1>" +
                       HtmlText(album.Name) + "</h1>\n";
    if (!extras.Description.empty()) page += "<p class=\"desc\">" + HtmlLines(extras.Description) + "</p>\n";
    page += "<ul>\n";
    for (size_t k = 0; k < album.Pictures.size(); ++k) {
        const TGalleryPicture& picture = album.Pictures[k];
        if (!extras.Present[k]) {
            page += "<li><span class=\"missing\">" + HtmlText(picture.File) + " (missing)</span></li>\n";
            continue;
        }
        const std::string link = "<a href=\"../" + UrlPath(picture.File) + "\">";
        if (extras.HasThumbnail[k])
            page += "<li>" + link + "<img src=\"" + UrlPath(ThumbnailName(picture.Sha256)) + "\" alt=\"" +
                    HtmlText(picture.File) + "\" loading=\"lazy\"></a></li>\n";
        else
            page +=
                "<li>" + link + "<span class=\"missing\">" + HtmlText(picture.File) + "</span></a></li>\n";
    }
    return page + "</ul>\n</body>\n</html>\n";
}
