#include "catalogue/AlbumList.h"
#include "app/Exceptions.h"

#include <gtest/gtest.h>

namespace {

std::string Record(const std::string& name, const std::string& desc, const std::string& au,
                   const std::string& count, const std::string& icon, const std::string& purl) {
    return "{id:1,name:'" + name + "',s:0,desc:'" + desc + "',st:1,au:" + au + ",count:" + count +
           ",t:5,lurl:'" + icon + "',dmt:7,purl:'" + purl + "'}";
}

class LoadAlbumListTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearAlbumList(); }
};

} // namespace

TEST(ExtractAlbumListUrl, CutsFromHttpToJs) {
    EXPECT_EQ(ExtractAlbumListUrl("var albumUrl = \"http://h/a/list.js?x\"; var pictureSetUrl = 1;"),
              "http://h/a/list.js");
    EXPECT_EQ(ExtractAlbumListUrl("<html>nothing</html>"), "");
    EXPECT_EQ(ExtractAlbumListUrl("albumUrl = 'http://h/list.js'"), ""); // no pictureSetUrl
    // The first "http" and the first "js" of the piece decide, whatever stands between.
    EXPECT_EQ(ExtractAlbumListUrl("albumUrl:'ftp http://a/b.json'pictureSetUrl"), "http://a/b.js");
}

TEST_F(LoadAlbumListTest, ReadsRecordsInOrder) {
    std::string script = "var list=[" +
                         Record("  Travel  ", " desc ", "0", "25", "b12/icon/t.jpg", "a/b/p.js") + "," +
                         Record("Home", "", "0", "3", "c1/i.png", "x.js") + "];";
    ASSERT_TRUE(LoadAlbumList(script));
    ASSERT_EQ(AlbumList.size(), 2u);
    EXPECT_EQ(AlbumList[0].Name, "Travel");
    EXPECT_EQ(AlbumList[0].Desc, " desc ");
    EXPECT_EQ(AlbumList[0].PicCount, 25);
    EXPECT_EQ(AlbumList[0].PicListUrl, "http://a/b/p.js");
    EXPECT_EQ(AlbumList[0].IconUrl, "http://imgb12.photo.quillora.example/icon/t.jpg");
    EXPECT_EQ(AlbumList[1].Name, "Home");
    EXPECT_EQ(AlbumList[1].IconUrl, "http://imgc1.photo.quillora.example/i.png");
}

TEST_F(LoadAlbumListTest, AccessMarkSkipRule) {
    // Mark 1 with a count: skipped. Mark 0: taken whatever the count.
    std::string script =
        "[" + Record("Private", "", "1", "12", "a/i", "p") + Record("Open", "", "0", "4", "a/i", "q");
    LoadAlbumList(script);
    ASSERT_EQ(AlbumList.size(), 1u);
    EXPECT_EQ(AlbumList[0].Name, "Open");
}

TEST_F(LoadAlbumListTest, EmptyCountWithOtherMarkFailsAfterAdding) {
    std::string script =
        "[" + Record("A", "d", "0", "1", "a/i", "p1") + Record("B", "dd", "2", "", "a/i", "p2");
    try {
        LoadAlbumList(script);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
    ASSERT_EQ(AlbumList.size(), 2u);
    EXPECT_EQ(AlbumList[1].Name, "B");
    EXPECT_EQ(AlbumList[1].Desc, "dd");
    EXPECT_EQ(AlbumList[1].PicListUrl, "http://p2");
    EXPECT_EQ(AlbumList[1].PicCount, 0);
    EXPECT_EQ(AlbumList[1].IconUrl, "");
}

TEST_F(LoadAlbumListTest, BadCountEndsTheParse) {
    EXPECT_THROW(
        LoadAlbumList("[" + Record("A", "", "0", "1x", "a/i", "p") + Record("B", "", "0", "1", "a/i", "p")),
        EConvertError);
    EXPECT_EQ(AlbumList.size(), 1u);
}

TEST_F(LoadAlbumListTest, OddScripts) {
    EXPECT_TRUE(LoadAlbumList("no records at all"));
    EXPECT_TRUE(AlbumList.empty());
    EXPECT_TRUE(LoadAlbumList(""));
    EXPECT_TRUE(AlbumList.empty());
    // Without "[{id" only the first byte goes; the record is still found.
    LoadAlbumList("x" + Record("Solo", "", "0", "2", "h/i.jpg", "p"));
    ASSERT_EQ(AlbumList.size(), 1u);
    EXPECT_EQ(AlbumList[0].Name, "Solo");
}

TEST_F(LoadAlbumListTest, TextAfterTheLastRecordThatHoldsIdIsReadToo) {
    // The trailing text has no markers: its mark is its third byte and its
    // count text is empty, so it is added and then fails the conversion.
    EXPECT_THROW(LoadAlbumList("[" + Record("A", "", "0", "1", "h/i", "p") + "];var userid=0;"),
                 EConvertError);
    ASSERT_EQ(AlbumList.size(), 2u);
    EXPECT_EQ(AlbumList[1].Name, "");
    EXPECT_EQ(AlbumList[1].PicListUrl, "http://");
    EXPECT_EQ(AlbumList[1].IconUrl, "");
}

TEST_F(LoadAlbumListTest, GenerationChangesOnEveryClear) {
    uint64_t before = AlbumListGeneration();
    ClearAlbumList();
    EXPECT_EQ(AlbumListGeneration(), before + 1);
}

TEST(MakeIconUrl, PathWithoutSlash) {
    EXPECT_EQ(MakeIconUrl("lurl:'icon.jpg',dmt"), "http://img.photo.quillora.exampleicon.jpg");
    EXPECT_EQ(MakeIconUrl("lurl:'a/b/c.jpg',dmt"), "http://imga.photo.quillora.example/b/c.jpg");
    EXPECT_EQ(MakeIconUrl("nothing"), "http://img.photo.quillora.example");
}

TEST(SkipAlbumRecord, DropsUpToTheRecordEndOrOneByte) {
    std::string t = "{id:1'}rest";
    SkipAlbumRecord(t);
    EXPECT_EQ(t, "rest");
    std::string u = "abc";
    SkipAlbumRecord(u);
    EXPECT_EQ(u, "bc");
}
