#include "catalogue/AlbumList.h"

#include "catalogue/Service.h"
#include "core/Exceptions.h"
#include "core/TextUtils.h"

std::vector<TPList> AlbumList;

namespace {

uint64_t Generation = 0;

// Reads one album record at the start of the rest into a new element; a bad
// count fails after the fields before it were set.
void ReadAlbumRecord(TRecordCursor& text, const std::string_view countText, TListBudget& budget,
                     std::vector<TPList>& albums) {
    budget.AddRecord();
    TPList& album = albums.emplace_back();
    album.Name = budget.Keep(TextTrim(text.Between("name:'", "',s:")));
    album.Desc = budget.Keep(std::string(text.Between("desc:'", "',st:")));
    album.PicListUrl = budget.Keep("http://" + std::string(text.Between("purl:'", "'}")));
    album.PicCount = TextToInt(budget.Keep(std::string(countText)));
    // "lurl:" is five bytes long, so its quote is the sixth.
    album.IconUrl = budget.Keep(MakeServicePictureUrl(text.QuotedPath("lurl:", ",dmt")));
}

} // namespace

void ClearAlbumList() {
    AlbumList.clear();
    ++Generation;
}

uint64_t AlbumListGeneration() {
    return Generation;
}

int AddAlbum() {
    AlbumList.emplace_back();
    return static_cast<int>(AlbumList.size()) - 1;
}

std::string ExtractAlbumListUrl(const std::string& page) {
    if (TextPos("albumUrl", page) == 0) return {};
    const int a = TextPos("albumUrl", page), p = TextPos("pictureSetUrl", page);
    const std::string piece = TextCopy(page, a + 8, p - a);
    const int h = TextPos("http", piece), j = TextPos("js", piece);
    return TextCopy(piece, h, j + 2 - h);
}

std::string MakeIconUrl(const std::string& record) {
    return MakeServicePictureUrl(QuotedPathBetween(record, "lurl:", ",dmt"));
}

void SkipAlbumRecord(std::string& text) {
    TRecordCursor cursor(text);
    cursor.SkipRecord();
    text = std::string(cursor.Rest());
}

bool LoadAlbumList(const std::string& script) {
    return LoadAlbumList(script, AlbumList);
}

bool LoadAlbumList(const std::string& script, std::vector<TPList>& albums) {
    TListBudget budget("Album list", "albums", MaxAlbumsPerList, MaxAlbumListBytes);
    TRecordCursor text(script);
    text.Drop(text.Pos("[{id") + 1);
    while (text.Pos("id") > 0) {
        const std::string_view mark = text.Copy(text.Pos("au:") + 3, 1);
        const std::string_view countText = text.Between("count:", ",t:");
        if (mark == "0" || countText.empty()) ReadAlbumRecord(text, countText, budget, albums);
        text.SkipRecord();
    }
    return true;
}

bool LoadAccountAlbums(const std::string& account, const TTextFetch& fetch, std::vector<TPList>& albums) {
    const std::string page = fetch("http://" + Service::HomeHost + "/" + account);
    const std::string scriptUrl = ExtractAlbumListUrl(page);
    // Without the markers there is no address to fetch; an empty host would
    // only end in a confusing socket error.
    if (scriptUrl.empty()) throw Exception("The account's home page names no album list");
    return LoadAlbumList(fetch(scriptUrl), albums);
}
