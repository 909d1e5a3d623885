#include "download/PictureList.h"

#include "app/Classes.h"
#include "app/TextUtils.h"
#include "catalogue/Service.h"

void ParsePictureList(const std::string& script, TStringList& list) {
    std::string text = TextCopy(script, TextPos("[{id", script) + 2, static_cast<int64_t>(script.size()));
    while (TextPos("id", text) > 0) {
        list.Add(MakePictureUrl(text));
        SkipPictureRecord(text);
    }
}

std::string MakePictureUrl(const std::string& record) {
    return MakeServicePictureUrl(QuotedPathBetween(record, "ourl:", ",ow:"));
}

void SkipPictureRecord(std::string& text) {
    text = TextCopy(text, TextPos("'}", text) + 2, static_cast<int64_t>(text.size()));
}

std::string PictureFileName(const std::string& url) {
    const int n = PosOfNth("/", url, 4);
    return TextTrim(TextCopy(url, n + 1, static_cast<int64_t>(url.size())));
}
