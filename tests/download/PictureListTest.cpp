#include "download/PictureList.h"
#include "catalogue/Service.h"
#include "core/Classes.h"
#include "core/TextUtils.h"

#include <gtest/gtest.h>

#include <random>

namespace {
std::string Pic(const std::string& path) {
    return "{id:9,ourl:'" + path + "',ow:800,oh:600,x:'y'}";
}
std::vector<std::string> Parse(const std::string& script) {
    TStringList list;
    ParsePictureList(script, list);
    return {list.begin(), list.end()};
}
} // namespace

TEST(ParsePictureList, OneAddressPerRecordDuplicatesKept) {
    auto urls = Parse("var p=[" + Pic("b12/photo/a.jpg") + "," + Pic("b12/photo/a.jpg") + "," +
                      Pic("c3/x/y.png") + "];");
    EXPECT_EQ(urls, (std::vector<std::string>{"http://imgb12.photo.quillora.example/photo/a.jpg",
                                              "http://imgb12.photo.quillora.example/photo/a.jpg",
                                              "http://imgc3.photo.quillora.example/x/y.png"}));
    EXPECT_TRUE(Parse("no records").empty());
    EXPECT_TRUE(Parse("").empty());
}

TEST(PictureFileName, AfterTheFourthSlashTrimmed) {
    EXPECT_EQ(PictureFileName("http://imgb12.photo.quillora.example/photo/a.jpg"), "a.jpg");
    EXPECT_EQ(PictureFileName("http://h/photo/2024/a.jpg"),
              "2024/a.jpg"); // a sub-folder: the save fails later
    EXPECT_EQ(PictureFileName("http://h/photo/ a.jpg \r\n"), "a.jpg");
    EXPECT_EQ(PictureFileName(" http://h/x "), "http://h/x"); // fewer than four: the whole address, trimmed
}

TEST(MakePictureUrl, BlanksStayInTheAddress) {
    EXPECT_EQ(MakePictureUrl(Pic("b1/p/ a.jpg ")), "http://imgb1.photo.quillora.example/p/ a.jpg ");
    EXPECT_EQ(MakePictureUrl("nothing"), "http://img.photo.quillora.example");
}

namespace {

// The parser as the format describes it, a fresh copy of the rest of the
// text for every record: slow, but plainly right.
std::vector<std::string> NaiveParse(const std::string& script) {
    std::vector<std::string> urls;
    const auto length = [](const std::string& s) { return static_cast<int64_t>(s.size()); };
    std::string text = TextCopy(script, TextPos("[{id", script) + 2, length(script));
    while (TextPos("id", text) > 0) {
        const int64_t o = TextPos("ourl:", text), w = TextPos(",ow:", text);
        urls.push_back(MakeServicePictureUrl(TextCopy(text, o + 6, w - (o + 7))));
        text = TextCopy(text, TextPos("'}", text) + 2, length(text));
    }
    return urls;
}

} // namespace

TEST(ParsePictureList, SameAddressesAsTheFormatSaysOnAnyText) {
    static const std::vector<std::string> pieces = {"[{id", "id",    "i",   "d", "ourl:", "'b1/p/a.jpg'",
                                                    "'x'",  ",ow:",  "'}",  "'", "}",     "/",
                                                    " ",    "\x81i", "ourl"};
    std::mt19937 random(11);
    for (int round = 0; round < 20000; ++round) {
        std::string script;
        for (unsigned n = random() % 24; n > 0; --n)
            script += pieces[random() % pieces.size()];
        ASSERT_EQ(Parse(script), NaiveParse(script)) << script;
    }
}

TEST(ParsePictureList, ListsBeyondTheLimitsAreRefused) {
    struct TCase {
        const char* Name;
        std::string Script;
        std::string Failure;
        size_t Kept;
    };
    std::string many = "[";
    for (size_t i = 0; i <= MaxPicturesPerList; ++i)
        many += "{id'}";
    // No record ends: every "id" starts a picture whose path runs on to the
    // one ",ow:" at the back.
    std::string endless = "[{id";
    for (int i = 0; i < 20000; ++i)
        endless += "id";
    endless += "ourl:'" + std::string(2000, 'p') + "',ow:";
    const std::vector<TCase> cases = {
        {"TooManyPictures", many, "Picture list refused: more than 100000 pictures", MaxPicturesPerList},
        {"TooManyBytes", endless, "Picture list refused: more than 67108864 bytes of pictures", 33009},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TStringList list;
        try {
            ParsePictureList(c.Script, list);
            ADD_FAILURE() << "no failure";
        } catch (const EServiceListTooLarge& e) {
            EXPECT_EQ(e.Message(), c.Failure);
        }
        EXPECT_EQ(static_cast<size_t>(list.Count()), c.Kept);
    }
}
