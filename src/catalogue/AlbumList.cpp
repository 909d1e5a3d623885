#include "catalogue/AlbumList.h"

#include "app/TextUtils.h"
#include "catalogue/Service.h"

std::vector<TPList> AlbumList;

namespace {

uint64_t Generation = 0;

// The bytes between two markers, each looked up from the start of the text.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const int64_t start = TextPos(open, text) + static_cast<int64_t>(open.size());
    return TextCopy(text, start, TextPos(close, text) - start);
}

int64_t Length(const std::string& s) {
    return static_cast<int64_t>(s.size());
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
    // "lurl:" is five bytes long, so its quote is the sixth.
    return MakeServicePictureUrl(QuotedPathBetween(record, "lurl:", ",dmt"));
}

void SkipAlbumRecord(std::string& text) {
    text = TextCopy(text, TextPos("'}", text) + 2, Length(text));
}

bool LoadAlbumList(const std::string& script) {
    std::string text = TextCopy(script, TextPos("[{id", script) + 2, Length(script));
    while (TextPos("id", text) > 0) {
        const std::string mark = TextCopy(text, TextPos("au:", text) + 3, 1);
        const std::string countText = Between(text, "count:", ",t:");
        if (mark == "0" || countText.empty()) {
            const int i = AddAlbum();
            // Fields are filled one by one: a bad count leaves the earlier ones set.
            AlbumList[i].Name = TextTrim(Between(text, "name:'", "',s:"));
            AlbumList[i].Desc = Between(text, "desc:'", "',st:");
            AlbumList[i].PicListUrl = "http://" + Between(text, "purl:'", "'}");
            AlbumList[i].PicCount = TextToInt(countText);
            AlbumList[i].IconUrl = MakeIconUrl(text);
        }
        SkipAlbumRecord(text);
    }
    return true;
}
