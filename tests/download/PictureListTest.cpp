#include "download/PictureList.h"
#include "app/Classes.h"

#include <gtest/gtest.h>

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
