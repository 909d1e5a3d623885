// The download command over a host without a window, against a scripted
// album service: which albums it takes, what it reports, the bars, the files
// it writes, and what it refuses.

#include "catalogue/FakeCommandHost.h"
#include "catalogue/LookupAlbums.h"
#include "core/FileUtils.h"
#include "download/DownloadAlbums.h"

namespace {

using TTile = TFakeCommandHost::TTile;

std::string PictureRecord(const std::string& path) {
    return "{id:9,ourl:'" + path + "',ow:800,oh:600,x:'y'}";
}

std::string PictureList(const std::vector<std::string>& paths) {
    std::string script = "var p=[";
    for (const std::string& path : paths)
        script += PictureRecord(path) + ",";
    return script + "];";
}

// Three albums: A with two pictures, B with one, C with one.
void LoadThreeAlbums(const std::string& nameOfA = "A") {
    ClearAlbumList();
    ASSERT_TRUE(LoadAlbumList("[" + AlbumRecord(nameOfA, "about A\r\n", 2, "b1/i/a", "h/a.js") +
                              AlbumRecord("B", "", 1, "b1/i/b", "h/b.js") +
                              AlbumRecord("C", "c", 1, "b1/i/c", "h/c.js") + "]"));
}

TTile Tile(int index, bool ticked, uint64_t generation = AlbumListGeneration()) {
    return TTile{"", generation, ticked, true, "", index};
}

class DownloadCommand : public ::testing::Test {
  protected:
    TDataRoot Root;
    TFakeCommandHost Host{Root.Tmp(), Root.Pic()};
};

} // namespace

// Only ticked tiles of the current list count: a tile of an older list, or
// one whose index is past the list, is left out.
TEST_F(DownloadCommand, TakesTheTickedAlbumsOfTheCurrentListInTileOrder) {
    LoadThreeAlbums();
    Host.Tiles = {Tile(2, true, AlbumListGeneration() - 1), Tile(0, true), Tile(1, false), Tile(7, true),
                  Tile(2, true)};
    TScriptedService service({TScriptedService::Ok(PictureList({"b1/photo/a1.jpg", "b1/photo/a2.png"})),
                              TScriptedService::Ok("a1"), TScriptedService::Ok("a2"),
                              TScriptedService::Ok(PictureList({"c7/photo/ c1.jpg "})),
                              TScriptedService::Ok("c1")});
    DownloadAlbums(Host);

    EXPECT_EQ(Host.Log, (std::vector<std::string>{Gbk("本次将要下载2个像册,共3张图片!"),
                                                  Gbk("开始下载像册<A>..."), Gbk("开始下载像册<C>..."),
                                                  std::string(57, '-'), Gbk("所有选中像册下载完成...")}));
    EXPECT_EQ(Host.TraceOf("sb"),
              (std::vector<std::string>{"sb1 total 1", "sb1 done 0", "sb1 done 0", "sb2 total 1",
                                        "sb2 done 0", "sb2 done 0", "sb2 done 1", "sb1 done 1", "sb2 total 0",
                                        "sb2 done 0", "sb2 done 0"}));
    EXPECT_EQ(Host.Previews, (std::vector<std::string>{Root.Pic() + "A/a1.jpg", Root.Pic() + "A/a2.png",
                                                       Root.Pic() + "C/c1.jpg"}));
    EXPECT_EQ(Root.Files(), (std::vector<std::string>{"Pic/A/A.txt", "Pic/A/a1.jpg", "Pic/A/a2.png",
                                                      "Pic/C/C.txt", "Pic/C/c1.jpg"}));
    EXPECT_EQ(TFakeCommandHost::ReadFile(Root.Pic() + "A/A.txt"), "about A\r\n");
    EXPECT_EQ(TFakeCommandHost::ReadFile(Root.Pic() + "C/c1.jpg"), "c1");
    EXPECT_EQ(service.RequestLine(0), "GET http://h:80/a.js HTTP/1.1");
    EXPECT_EQ(service.RequestLine(1), "GET http://imgb1.photo.quillora.example:80/photo/a1.jpg HTTP/1.1");
    EXPECT_EQ(service.RequestLine(3), "GET http://h:80/c.js HTTP/1.1");
    EXPECT_TRUE(service.Peer().Failures().empty());
}

// A lookup that fails after the list was emptied leaves the old tiles
// standing; a download then takes none of them, whatever they show.
TEST_F(DownloadCommand, StaleTilesOfAFailedLookupAreNeverDownloaded) {
    LoadThreeAlbums();
    Host.Tiles = {Tile(0, true), Tile(1, true), Tile(2, true)};
    {
        TScriptedService service({TScriptedService::NotFound()});
        EXPECT_THROW(LookupAlbums(Host), Exception);
    }
    LoadThreeAlbums(); // a list of the same length, as a nested reload would leave it
    Host.Trace.clear();
    Host.Log.clear();
    TScriptedService service({});
    DownloadAlbums(Host);
    EXPECT_EQ(Host.Log.front(), Gbk("本次将要下载0个像册,共0张图片!"));
    EXPECT_EQ(Host.TraceOf("sb"), (std::vector<std::string>{"sb1 total 4294967295", "sb1 done 0"}));
    EXPECT_EQ(service.Peer().AcceptedCount(), 0u);
    EXPECT_TRUE(Root.Files().empty());
}

// Names from the service that would lead out of the album's folder are
// refused before anything is written for them.
TEST_F(DownloadCommand, HostileNamesAreRefused) {
    struct TCase {
        const char* Name;
        std::string AlbumName;
        std::vector<std::string> Pictures;
        std::vector<std::string> Files; // what stands afterwards
    };
    const std::vector<TCase> cases = {
        {"DotDotAlbum", "..", {"b1/photo/x.jpg"}, {}},
        {"AlbumWithSlashes", "a/../../escape", {"b1/photo/x.jpg"}, {}},
        {"PictureInASubFolder", "A", {"b1/photo/sub/x.jpg"}, {"Pic/A/A.txt"}},
        {"PictureGoingUp", "A", {"b1/photo/../../x.jpg"}, {"Pic/A/A.txt"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove_all(Root.Path / "Pic");
        LoadThreeAlbums(c.AlbumName);
        TFakeCommandHost host(Root.Tmp(), Root.Pic());
        host.Tiles = {Tile(0, true)};
        TScriptedService service({TScriptedService::Ok(PictureList(c.Pictures))});
        EXPECT_THROW(DownloadAlbums(host), EFCreateError);
        EXPECT_EQ(Root.Files(), c.Files);
        EXPECT_TRUE(host.Previews.empty());
        EXPECT_EQ(service.Peer().AcceptedCount(), 1u);
    }
}

// An album folder that is a link out of the picture folder is not written
// through: the album fails with the reason, and nothing lands where it points.
TEST_F(DownloadCommand, AnAlbumFolderThatIsALinkIsNotWrittenThrough) {
    const std::filesystem::path elsewhere = Root.Path / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_directories(Root.Pic());
    std::filesystem::create_directory_symlink(elsewhere, Root.Pic() + "A");
    LoadThreeAlbums();
    Host.Tiles = {Tile(0, true)};
    TScriptedService service({TScriptedService::Ok(PictureList({"b1/photo/a1.jpg"}))});
    try {
        DownloadAlbums(Host);
        ADD_FAILURE() << "downloaded";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find("A symbolic link stands in its path; links below \"" + Root.Pic() +
                                   "\" are not followed"),
                  std::string::npos)
            << e.Message();
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_TRUE(Host.Previews.empty());
}

// Closing the window stops the download at the next event processing; a
// picture the server does not have fails without leaving any file behind.
TEST_F(DownloadCommand, StopsWithCompleteFilesOnly) {
    LoadThreeAlbums();
    Host.Tiles = {Tile(0, true), Tile(2, true)};
    {
        TScriptedService service(
            {TScriptedService::Ok(PictureList({"b1/p/a1.jpg", "b1/p/a2.jpg"})), TScriptedService::Ok("a1")});
        Host.OnEvents = [&] { Host.Closed = Host.Previews.size() == 1; };
        EXPECT_THROW(DownloadAlbums(Host), EAbort);
        EXPECT_EQ(Root.Files(), (std::vector<std::string>{"Pic/A/A.txt", "Pic/A/a1.jpg"}));
        EXPECT_EQ(service.Peer().AcceptedCount(), 2u);
    }
    std::filesystem::remove_all(Root.Path / "Pic");
    TFakeCommandHost host(Root.Tmp(), Root.Pic());
    host.Tiles = {Tile(0, true)};
    TScriptedService service({TScriptedService::Ok(PictureList({"b1/p/a1.jpg", "b1/p/a2.jpg"})),
                              TScriptedService::Ok("a1"), TScriptedService::NotFound()});
    EXPECT_THROW(DownloadAlbums(host), Exception);
    EXPECT_EQ(Root.Files(), (std::vector<std::string>{"Pic/A/A.txt", "Pic/A/a1.jpg"}));
    EXPECT_EQ(host.Previews.size(), 1u);
}

// A server that closes half way through a picture: the download fails there
// with the close, and nothing is saved under the picture's name.
TEST_F(DownloadCommand, PictureCutShortIsAFailureAndLeavesNoFile) {
    LoadThreeAlbums();
    Host.Tiles = {Tile(0, true)};
    const std::string half = "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + std::string(2000, 'j');
    TScriptedService service({TScriptedService::Ok(PictureList({"b1/p/a1.jpg", "b1/p/a2.jpg"})),
                              TScriptedService::Ok("a1"), half});
    try {
        DownloadAlbums(Host);
        ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.ClassName()) + ": " + e.Message(),
                  "EIdConnClosedGracefully: Connection Closed Gracefully.");
    }
    EXPECT_EQ(Root.Files(), (std::vector<std::string>{"Pic/A/A.txt", "Pic/A/a1.jpg"}));
    EXPECT_EQ(Host.Previews.size(), 1u);
}
