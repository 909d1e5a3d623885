#include "catalogue/AlbumList.h"
#include "core/Exceptions.h"
#include "core/TextUtils.h"
#include "catalogue/Service.h"

#include <gtest/gtest.h>

#include <random>

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

namespace {

// The parser as the format describes it, a fresh copy of the rest of the
// text for every record and every marker searched from its start: slow, but
// plainly right. The real parser must give the same albums on any text.
std::string NaiveBetween(const std::string& text, const std::string& open, const std::string& close) {
    const int64_t start = TextPos(open, text) + static_cast<int64_t>(open.size());
    return TextCopy(text, start, TextPos(close, text) - start);
}

std::vector<TPList> NaiveAlbums(const std::string& script, std::string& failure) {
    std::vector<TPList> albums;
    const auto length = [](const std::string& s) { return static_cast<int64_t>(s.size()); };
    std::string text = TextCopy(script, TextPos("[{id", script) + 2, length(script));
    while (TextPos("id", text) > 0) {
        const std::string mark = TextCopy(text, TextPos("au:", text) + 3, 1);
        const std::string count = NaiveBetween(text, "count:", ",t:");
        if (mark == "0" || count.empty()) {
            TPList& a = albums.emplace_back();
            a.Name = TextTrim(NaiveBetween(text, "name:'", "',s:"));
            a.Desc = NaiveBetween(text, "desc:'", "',st:");
            a.PicListUrl = "http://" + NaiveBetween(text, "purl:'", "'}");
            const int64_t l = TextPos("lurl:", text), m = TextPos(",dmt", text);
            const std::string path = TextCopy(text, l + 6, m - (l + 7));
            try {
                a.PicCount = TextToInt(count);
            } catch (const EConvertError& e) {
                failure = e.Message();
                return albums;
            }
            a.IconUrl = MakeServicePictureUrl(path);
        }
        text = TextCopy(text, TextPos("'}", text) + 2, length(text));
    }
    return albums;
}

// Texts made of the markers, pieces of them and filler, in any order.
std::string RandomScript(std::mt19937& random) {
    static const std::vector<std::string> pieces = {
        "[{id",   "id",     "i",   "d",    "au:",    "0",     "1",     "count:",       "12",
        ",t:",    "name:'", " N ", "',s:", "desc:'", "',st:", "lurl:", "'b1/i/x.jpg'", ",dmt",
        "purl:'", "p.js",   "'}",  "'",    "}",      "/",     " ",     "\x81i"};
    std::string script;
    for (unsigned n = random() % 24; n > 0; --n)
        script += pieces[random() % pieces.size()];
    return script;
}

} // namespace

TEST_F(LoadAlbumListTest, SameAlbumsAsTheFormatSaysOnAnyText) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string script = RandomScript(random);
        std::string expectedFailure, failure;
        const std::vector<TPList> expected = NaiveAlbums(script, expectedFailure);
        ClearAlbumList();
        try {
            LoadAlbumList(script);
        } catch (const EConvertError& e) {
            failure = e.Message();
        }
        SCOPED_TRACE(script);
        ASSERT_EQ(failure, expectedFailure);
        ASSERT_EQ(AlbumList.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(AlbumList[i].Name, expected[i].Name);
            EXPECT_EQ(AlbumList[i].Desc, expected[i].Desc);
            EXPECT_EQ(AlbumList[i].PicListUrl, expected[i].PicListUrl);
            EXPECT_EQ(AlbumList[i].PicCount, expected[i].PicCount);
            EXPECT_EQ(AlbumList[i].IconUrl, expected[i].IconUrl);
        }
    }
}

TEST_F(LoadAlbumListTest, ListsBeyondTheLimitsAreRefused) {
    struct TCase {
        const char* Name;
        std::string Script;
        std::string Failure;
        size_t AlbumsKept;
    };
    std::string many = "[";
    for (size_t i = 0; i <= MaxAlbumsPerList; ++i)
        many += Record("A", "", "0", "1", "h/i", "p");
    // Every "id" after an unfinished description starts an album whose
    // description runs on to the one end marker at the back.
    std::string endless = "[{id,desc:'";
    for (int i = 0; i < 2000; ++i)
        endless += "id";
    endless += std::string(20000, 'x') + "',st:au:0,count:1,t:";
    const std::vector<TCase> cases = {
        {"TooManyAlbums", many, "Album list refused: more than 10000 albums", MaxAlbumsPerList},
        {"TooManyBytes", endless, "Album list refused: more than 67108864 bytes of albums", 2975},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ClearAlbumList();
        try {
            LoadAlbumList(c.Script);
            ADD_FAILURE() << "no failure";
        } catch (const EServiceListTooLarge& e) {
            EXPECT_EQ(e.Message(), c.Failure);
        }
        EXPECT_EQ(AlbumList.size(), c.AlbumsKept);
    }
}

TEST(SkipAlbumRecord, DropsUpToTheRecordEndOrOneByte) {
    std::string t = "{id:1'}rest";
    SkipAlbumRecord(t);
    EXPECT_EQ(t, "rest");
    std::string u = "abc";
    SkipAlbumRecord(u);
    EXPECT_EQ(u, "bc");
}

// The account's lookup as both the window and quillora-get make it: the home
// page, then the script it names, read into the list given (the window's
// AlbumList stays as it was).
TEST_F(LoadAlbumListTest, AccountLookupAsksThePageThenItsScript) {
    const std::string home = "http://" + Service::HomeHost + "/some%20one";
    const std::string page = "x albumUrl = \"http://h/list.js?v=2\"; pictureSetUrl = 1";
    const std::string script =
        "[" + Record("A", "", "0", "2", "a/i", "p1") + Record("B", "", "0", "1", "a/i", "p2");
    std::vector<std::string> asked;
    const auto fetch = [&](const std::string& url) {
        asked.push_back(url);
        if (url == home) return page;
        if (url == "http://h/list.js") return script;
        throw Exception("not served: " + url);
    };
    std::vector<TPList> albums(1);
    albums[0].Name = "kept";
    EXPECT_TRUE(LoadAccountAlbums("some%20one", fetch, albums));
    EXPECT_EQ(asked, (std::vector<std::string>{home, "http://h/list.js"}));
    ASSERT_EQ(albums.size(), 3u); // appended, as LoadAlbumList appends
    EXPECT_EQ(albums[1].Name, "A");
    EXPECT_EQ(albums[2].PicListUrl, "http://p2");
    EXPECT_TRUE(AlbumList.empty());
}

TEST_F(LoadAlbumListTest, AccountLookupFailures) {
    std::vector<std::string> asked;
    std::vector<TPList> albums;
    // A page without the markers: no second request, nothing read.
    const auto noMarkers = [&](const std::string& url) {
        asked.push_back(url);
        return std::string("<html>no such account</html>");
    };
    try {
        LoadAccountAlbums("nobody", noMarkers, albums);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "The account's home page names no album list");
    }
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_TRUE(albums.empty());
    // A failing fetch goes on as it is.
    const auto failing = [](const std::string&) -> std::string { throw EConvertError("down"); };
    EXPECT_THROW(LoadAccountAlbums("x", failing, albums), EConvertError);
}
