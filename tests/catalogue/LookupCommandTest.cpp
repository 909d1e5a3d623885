// The view command over a host without a window, against a scripted album
// service: what it reports in which order, the bar, the tiles, the thumbnail
// cache, and where it stops.

#include "FakeCommandHost.h"
#include "catalogue/LookupAlbums.h"
#include "core/FileUtils.h"
#include "http/ClientSettings.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

namespace {

const std::string HomePage =
    "<script>var albumUrl = \"http://photo.quillora.example/q/list.js?v=2\"; var pictureSetUrl = 1;</script>";
const std::string TravelIcon = "b1/icon/travel_thumbnail_000001.jpg";
// Its last 23 bytes, the cache file name, hold a "/": refused without a fetch.
const std::string HostileIcon = "c1/x/../../../../../../../../../../evil";
const std::string MissingIcon = "c1/icon/party_thumbnail_0000002.png";

std::string ThreeAlbums() {
    return "var list=[" + AlbumRecord(Gbk("旅行"), "trips", 2, TravelIcon, "photo.quillora.example/p/1.js") + "," +
           AlbumRecord("Home", "", 1, HostileIcon, "photo.quillora.example/p/2.js") + "," +
           AlbumRecord("Party", "d", 3, MissingIcon, "photo.quillora.example/p/3.js") + "];";
}

std::string Reading(const std::string& name) {
    return "B: " + Gbk("正在读取像册: <") + name + Gbk("> 的信息...");
}

const std::string Warning = "B: " + Gbk("========警告:下载出错=======");

class LookupCommand : public ::testing::Test {
  protected:
    void SetUp() override { ClearAlbumList(); }
    TDataRoot Root;
    TFakeCommandHost Host{Root.Tmp(), Root.Pic()};
};

} // namespace

TEST_F(LookupCommand, ReportsBuildsTilesAndCachesThumbnailsInOrder) {
    MakeFolders(Root.Tmp());
    std::ofstream(Root.Path / "tmp" / "old.jpg") << "from the last lookup";
    TScriptedService service({TScriptedService::Ok(HomePage), TScriptedService::Ok(ThreeAlbums()),
                              TScriptedService::Ok("JPEG bytes"), TScriptedService::NotFound()});
    Host.Account = "  quillora \t";
    LookupAlbums(Host);

    const std::vector<std::string> expected = {
        "B: " + Gbk("敬告: 开始下载像册表,在软件提示下载完成之前,请不要用鼠标拉动滚动条..."), "events", "box off",
        "B: " + Gbk("下载像册缩略图...请稍候..."), "events", "free tiles", "events", "sb1 total 2", "sb1 done 0",
        // A good thumbnail.
        "sb1 done 0", Reading(Gbk("旅行")), "events", "events", "tile 0 " + Gbk("旅行"), "icon 0", "finish 0",
        // A cache name that would leave the cache: a warning, no fetch.
        "sb1 done 1", Reading("Home"), "events", "events", "tile 1 Home", Warning, "events", "finish 1",
        // A thumbnail the service does not have: a warning.
        "sb1 done 2", Reading("Party"), "events", "events", "tile 2 Party", Warning, "events", "finish 2",
        "B: " + Gbk("像册缩略图下载完成..."), "events", "box on"};
    ASSERT_GE(Host.Trace.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(Host.Trace.begin(), Host.Trace.begin() + expected.size()), expected);
    // Then the summary, straight into the log, and the closing report.
    EXPECT_EQ(Host.TraceOf("log: ").size(), 3u * 6 + 2);
    EXPECT_EQ(Host.Trace[expected.size() + 1], "log: " + Gbk("像册名:") + Gbk("旅行"));
    EXPECT_EQ(Host.Trace.end()[-3], "log: " + Gbk("共有3个像册,共6张图片!"));
    EXPECT_EQ(Host.Trace.end()[-2], "B: " + Gbk("像册信息下载完成,可以拉动滚动条了..."));
    EXPECT_TRUE(Host.Warnings.empty());

    // Through the proxy, in absolute form.
    EXPECT_EQ(service.RequestLine(0), "GET http://photo.quillora.example:80/quillora HTTP/1.1");
    EXPECT_EQ(service.RequestLine(1), "GET http://photo.quillora.example:80/q/list.js HTTP/1.1");
    EXPECT_EQ(service.RequestLine(2), "GET http://imgb1.photo.quillora.example:80/icon/travel_thumbnail_000001.jpg HTTP/1.1");
    EXPECT_EQ(service.RequestLine(3), "GET http://imgc1.photo.quillora.example:80/icon/party_thumbnail_0000002.png HTTP/1.1");
    EXPECT_EQ(service.Peer().AcceptedCount(), 4u);
    EXPECT_TRUE(service.Peer().Failures().empty());

    // The old cache is gone; the one thumbnail that came is there and in its tile.
    EXPECT_EQ(Root.Files(), std::vector<std::string>{"tmp/el_thumbnail_000001.jpg"});
    ASSERT_EQ(Host.Tiles.size(), 3u);
    EXPECT_EQ(Host.Tiles[0].Icon, "JPEG bytes");
    for (const auto& tile : Host.Tiles)
        EXPECT_EQ(tile.Generation, AlbumListGeneration());
}

TEST_F(LookupCommand, StopsBeforeTheTilesAndLeavesTheOldOnesStanding) {
    struct TCase {
        const char* Name;
        std::string Account;
        std::vector<std::string> Replies;
        std::string Warning;
        std::string Error;
    };
    const std::vector<TCase> cases = {
        {"BlankAccount", " \t ", {}, Gbk("用户名不能为空!"), ""},
        {"UnknownAccount", "nobody", {TScriptedService::NotFound()}, "", "HTTP/1.1 404 Not Found"},
        {"NoMarkers", "quillora", {TScriptedService::Ok("<html>no list here</html>")}, "",
         "The account's home page names no album list"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeCommandHost host(Root.Tmp(), Root.Pic());
        host.Tiles = {TFakeCommandHost::TTile{"old", AlbumListGeneration(), true, true, "", 0}};
        MakeFolders(Root.Tmp());
        std::ofstream(Root.Path / "tmp" / "old.jpg") << "x";
        TScriptedService service(c.Replies);
        host.Account = c.Account;
        std::string error;
        try {
            LookupAlbums(host);
        } catch (const Exception& e) {
            error = e.Message();
        }
        EXPECT_EQ(error, c.Error);
        EXPECT_EQ(host.Warnings, c.Warning.empty() ? std::vector<std::string>{} : std::vector{c.Warning});
        EXPECT_EQ(service.Peer().AcceptedCount(), c.Replies.size());
        // The cache was emptied first; the tiles of the last lookup stay, the box stays off.
        EXPECT_TRUE(Root.Files().empty());
        ASSERT_EQ(host.Tiles.size(), 1u);
        EXPECT_TRUE(host.Tiles[0].Alive);
        EXPECT_EQ(host.TraceOf("box"), std::vector<std::string>{"box off"});
        EXPECT_TRUE(AlbumList.empty());
    }
}

// Closing the window while a thumbnail warning is reported frees the tiles
// and stops the lookup there: no further tile, no further fetch.
TEST_F(LookupCommand, ClosingDuringAWarningStopsAtOnce) {
    TScriptedService service({TScriptedService::Ok(HomePage), TScriptedService::Ok(ThreeAlbums()),
                              TScriptedService::Ok("JPEG bytes")});
    Host.OnEvents = [&] {
        if (!Host.Closed && Host.Trace.end()[-2] == Warning) {
            Host.FreeTiles();
            Host.Closed = true;
        }
    };
    EXPECT_THROW(LookupAlbums(Host), EAbort);
    EXPECT_TRUE(Host.Tiles.empty());
    EXPECT_EQ(Host.TraceOf("tile "), (std::vector<std::string>{"tile 0 " + Gbk("旅行"), "tile 1 Home"}));
    EXPECT_EQ(Host.TraceOf("finish "), std::vector<std::string>{"finish 0"});
    EXPECT_EQ(Host.Log.back(), Gbk("========警告:下载出错======="));
    EXPECT_EQ(service.Peer().AcceptedCount(), 3u);
}

// An album list read over TLS to the close and cut there by a bare TCP close,
// without the TLS goodbye, may be part of the list: the lookup fails and
// nothing of it is taken, not even the albums that came whole.
TEST_F(LookupCommand, AnAlbumListCutWithoutTheTlsGoodbyeIsNotTaken) {
    const std::string cut =
        "var list=[" + AlbumRecord("Home", "", 1, TravelIcon, "photo.quillora.example/p/2.js") + ",";
    TTlsPeer secure(TestPki().Good, {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + cut}, "127.0.0.1", false);
    const std::string home =
        "<script>var albumUrl = \"" + secure.Url("/q/list.js") + "\"; var pictureSetUrl = 1;</script>";
    TScriptedService service({TScriptedService::Ok(home)});
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true}));
    Host.Account = "quillora";
    std::string error;
    try {
        LookupAlbums(Host);
    } catch (const Exception& e) {
        error = e.Message();
    }
    SetClientTls(nullptr);
    EXPECT_EQ(error, "Connection closed without the TLS goodbye; the body may be cut");
    EXPECT_TRUE(AlbumList.empty());
    EXPECT_TRUE(Host.Tiles.empty());
    EXPECT_TRUE(Root.Files().empty());
}
