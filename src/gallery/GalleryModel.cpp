#include "gallery/GalleryModel.h"

#include "archive/PictureArchive.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// A name the program itself could have written as one folder entry: no
// link's target or parent step, nothing hidden (the gallery's own folder
// and the temporary files are hidden).
bool IsShownName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name.front() != '.' &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool IsSha256(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

bool TGalleryModelBuilder::Add(const TArchivedPicture& row) {
    const bool fits = FRows.size() < GalleryMaxRows && row.Path.size() <= GalleryMaxText &&
                      row.Account.size() <= GalleryMaxText && row.Album.size() <= GalleryMaxText;
    const size_t first = row.Path.find('/');
    const size_t second = first == std::string::npos ? first : row.Path.find('/', first + 1);
    if (!fits || second == std::string::npos || row.Path.compare(0, first, "Pic") != 0) {
        ++FLeftOut;
        return false;
    }
    TRow shown{row.Account, row.Album, row.Path.substr(first + 1, second - first - 1),
               row.Path.substr(second + 1), IsSha256(row.Sha256) ? row.Sha256 : std::string()};
    if (!IsShownName(shown.Folder) || !IsShownName(shown.File)) {
        ++FLeftOut;
        return false;
    }
    FRows.push_back(std::move(shown));
    return true;
}

TGalleryModel TGalleryModelBuilder::Finish() {
    TGalleryModel model;
    model.LeftOut = FLeftOut;
    std::map<std::string, size_t, decltype(&NaturalLess)> folders(&NaturalLess);
    for (const TRow& row : FRows)
        folders.emplace(row.Folder, 0);
    for (auto& [folder, index] : folders) {
        index = model.Albums.size();
        model.Albums.push_back({folder, {}, {}});
    }
    // Two rows of one path (a later account's picture replaced an earlier
    // one's) are one file: the later row, as the archive orders them, stays.
    std::map<std::string, std::map<size_t, size_t>> accounts; // account -> album -> pictures
    std::vector<std::map<std::string, std::string, decltype(&NaturalLess)>> files;
    files.reserve(model.Albums.size());
    for (size_t k = 0; k < model.Albums.size(); ++k)
        files.emplace_back(&NaturalLess);
    for (const TRow& row : FRows) {
        const size_t album = folders.at(row.Folder);
        files[album][row.File] = row.Sha256;
        if (model.Albums[album].Name.empty()) model.Albums[album].Name = row.Album;
        ++accounts[row.Account][album];
    }
    for (size_t k = 0; k < model.Albums.size(); ++k) {
        TGalleryAlbum& album = model.Albums[k];
        if (album.Name.empty()) album.Name = album.Folder;
        for (auto& [file, sha] : files[k])
            album.Pictures.push_back({file, sha});
    }
    for (const auto& [name, albums] : accounts) {
        TGalleryAccount& account = model.Accounts.emplace_back();
        account.Name = name;
        for (const auto& [album, pictures] : albums)
            account.Albums.push_back({album, pictures});
    }
    FRows.clear();
    return model;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Leading zeros count for nothing (the last digit of a run stays).
            while (a[i] == '0' && i + 1 < a.size() && digit(a[i + 1]))
                ++i;
            while (b[j] == '0' && j + 1 < b.size() && digit(b[j + 1]))
                ++j;
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei]))
                ++ei;
            while (ej < b.size() && digit(b[ej]))
                ++ej;
            if (ei - i != ej - j) return ei - i < ej - j;
            if (const int c = a.compare(i, ei - i, b, j, ej - j); c != 0) return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b; // equal but for leading zeros ("01", "1"): still a strict order
}
