// The gallery's small parts: escaping of hostile texts, the order of
// picture names, and the scaler's averages.

#include "core/Exceptions.h"
#include "gallery/GalleryModel.h"
#include "gallery/HtmlText.h"
#include "gallery/Thumbnail.h"

#include <gtest/gtest.h>

TEST(GalleryText, HostileTextIsShownAsText) {
    const struct {
        std::string In, Text, Lines;
    } cases[] = {
        {"plain 旅行", "plain 旅行", "plain 旅行"},
        {"<script>&\"'", "&lt;script&gt;&amp;&quot;&#39;", "&lt;script&gt;&amp;&quot;&#39;"},
        {"a\r\nb\nc\rd",
         "a\xEF\xBF\xBD\nb\nc\xEF\xBF\xBD"
         "d",
         "a<br>b<br>c<br>d"},
        {"tab\there", "tab\there", "tab\there"},
        {std::string("nul\0x", 5), "nul\xEF\xBF\xBDx", "nul\xEF\xBF\xBDx"},
        {"\x1b[31m", "\xEF\xBF\xBD[31m", "\xEF\xBF\xBD[31m"},
        {"\x7f\xc2\x85", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},      // DEL, a C1 control
        {"\xff\xfe<", "\xEF\xBF\xBD\xEF\xBF\xBD&lt;", "\xEF\xBF\xBD\xEF\xBF\xBD&lt;"}, // no UTF-8
        {"\xe6\x97", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // cut short
        {"\xc0\xbc", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // an overlong "<"
        {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xf0\x9f\x93\xb7", "\xf0\x9f\x93\xb7", "\xf0\x9f\x93\xb7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HtmlText(c.In), c.Text) << c.In;
        EXPECT_EQ(HtmlLines(c.In), c.Lines) << c.In;
    }
}

TEST(GalleryText, PathsAreEscapedByteByByte) {
    EXPECT_EQ(UrlPath("Pic/旅行/a b#?%&\".jpg"), "Pic/%E6%97%85%E8%A1%8C/a%20b%23%3F%25%26%22.jpg");
    EXPECT_EQ(UrlPath("IMG_0001-x~.JPG"), "IMG_0001-x~.JPG");
    EXPECT_EQ(UrlPath("java:script"), "java%3Ascript"); // never a scheme
}

TEST(GalleryOrder, NumbersCountByValue) {
    const std::vector<std::pair<std::string, std::string>> less = {
        {"IMG_2.jpg", "IMG_10.jpg"},
        {"IMG_0009.jpg", "IMG_0010.jpg"},
        {"a", "b"},
        {"a", "a1"},
        {"a9b", "a10a"},
        {"01", "1"},
        {"1", "1a"},
        {"x", "\xe6\x97\x85"},
        {"", "a"},
        {"9999999999999999999999", "10000000000000000000000"},
    };
    for (const auto& [a, b] : less) {
        EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(NaturalLess(b, a)) << b << " < " << a;
    }
    EXPECT_FALSE(NaturalLess("IMG_1", "IMG_1"));
}

namespace {

std::vector<uint8_t> Rgba(std::initializer_list<uint8_t> values) {
    return values;
}

} // namespace

TEST(GalleryThumbnail, TheScalerAveragesEachBoxOverWhite) {
    TBoxScaler scaler(2);
    scaler.Start(4, 2);
    // Row 0: two red, two blue; row 1: two black, two half-transparent black.
    const std::vector<uint8_t> top = Rgba({255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255, 0, 0, 255, 255});
    const std::vector<uint8_t> bottom = Rgba({0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0});
    scaler.AddRow(top.data());
    scaler.AddRow(bottom.data());
    const TThumbnail t = scaler.Finish();
    ASSERT_EQ(t.Width, 2);
    ASSERT_EQ(t.Height, 1);
    // Left box: red, red, black, black; right: blue, blue, white (transparent over white) twice.
    EXPECT_EQ(std::vector<uint8_t>(t.Rgb.begin(), t.Rgb.end()),
              (std::vector<uint8_t>{128, 0, 0, 128, 128, 255}));
}

TEST(GalleryThumbnail, SmallPicturesAreNeverEnlargedAndMissingRowsFail) {
    TBoxScaler small;
    small.Start(3, 1);
    const std::vector<uint8_t> row(12, 200);
    small.AddRow(row.data());
    small.AddRow(row.data()); // one more than announced: ignored
    const TThumbnail t = small.Finish();
    EXPECT_EQ(t.Width, 3);
    EXPECT_EQ(t.Height, 1);

    TBoxScaler cut;
    cut.Start(3, 2);
    cut.AddRow(row.data());
    EXPECT_THROW(cut.Finish(), EInvalidGraphic);
    TBoxScaler none;
    EXPECT_THROW(none.Start(0, 5), EInvalidGraphic);
}

TEST(GalleryThumbnail, ThePngIsReadBackByTheProgramsOwnReader) {
    TThumbnail t{2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30}};
    const std::string png = EncodePng(t);
    const TThumbnail back = MakeThumbnail(png, "PNG");
    EXPECT_EQ(back.Width, 2);
    EXPECT_EQ(back.Height, 2);
    EXPECT_EQ(back.Rgb, t.Rgb);
}
