#include "download/PictureList.h"

#include "core/Classes.h"
#include "core/TextUtils.h"
#include "catalogue/Service.h"

void ParsePictureList(const std::string& script, TStringList& list) {
    TListBudget budget("Picture list", "pictures", MaxPicturesPerList, MaxPictureListBytes);
    TRecordCursor text(script);
    text.Drop(text.Pos("[{id") + 1);
    while (text.Pos("id") > 0) {
        budget.AddRecord();
        list.Add(budget.Keep(MakeServicePictureUrl(text.QuotedPath("ourl:", ",ow:"))));
        text.SkipRecord();
    }
}

std::string MakePictureUrl(const std::string& record) {
    return MakeServicePictureUrl(QuotedPathBetween(record, "ourl:", ",ow:"));
}

void SkipPictureRecord(std::string& text) {
    TRecordCursor cursor(text);
    cursor.SkipRecord();
    text = std::string(cursor.Rest());
}

std::string PictureFileName(const std::string& url) {
    const int n = PosOfNth("/", url, 4);
    return TextTrim(TextCopy(url, n + 1, static_cast<int64_t>(url.size())));
}
