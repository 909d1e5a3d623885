// quillora-get --gallery as users run it: after a copy of the sample
// service, alone without an account (no request at all), and from
// "gallery = true" in the configuration file. The pages read strictly,
// hostile album names show as text, and a second gallery after one picture
// changed on the server and was refreshed makes exactly one thumbnail.

#include "GetHarness.h"
#include "WireScript.h"
#include "support/GalleryCheck.h"

#include <cstdio>

namespace {

std::set<std::string> Thumbnails(const fs::path& album) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(album / ".quillora-gallery"))
        if (entry.path().extension() == ".png") names.insert(entry.path().filename().string());
    return names;
}

} // namespace

TEST(QuilloraGetGallery, AfterACopyAloneAndAfterARefresh) {
    TScratch scratch;
    const fs::path changed = scratch.Path() / "changed.txt";
    TServer server(scratch.Path(), {"--validators", "--changed-file", changed.string()});
    ASSERT_GT(server.Port(), 0);
    const std::vector<std::string> base{"--config", "/dev/null", "--dest", "out", "--archive", "archive.db"};
    std::vector<std::string> copy = base;
    copy.insert(copy.end(), {"--album", "风景", "--gallery", "quillora"});
    const TGetRun first = RunGet(scratch.Path(), server, copy);
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_NE(first.Out.find("gallery: "), std::string::npos) << first.Out;
    EXPECT_NE(first.Out.find("1 albums, 11 pictures; 11 thumbnails made, 0 kept"), std::string::npos)
        << first.Out;
    const nlohmann::json gallery = ReadGallery(scratch.Path() / "out");
    ASSERT_TRUE(gallery.is_object());
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
    EXPECT_TRUE(Contains(gallery["pages"]["index.html"]["texts"], "风景"));
    EXPECT_TRUE(Contains(gallery["pages"]["index.html"]["texts"], "山,水,云,月."));
    EXPECT_EQ(gallery["pages"]["Pic/风景/.quillora-gallery/index.html"]["images"].size(), 11u);

    // Alone: no request, nothing made again.
    server.ForgetRequests();
    std::vector<std::string> alone = base;
    alone.push_back("--gallery");
    const TGetRun again = RunGet(scratch.Path(), server, alone);
    ASSERT_EQ(again.Status, 0) << again.Err;
    EXPECT_NE(again.Out.find("0 thumbnails made, 11 kept"), std::string::npos) << again.Out;
    EXPECT_TRUE(server.Requests().empty());

    // The sample service's changed pictures are cut at their last byte: no
    // thumbnail, and the gallery says which picture and why.
    WriteWhole(changed, "/quillora-04/IMG_0003.jpg\n");
    std::vector<std::string> refresh = base;
    refresh.insert(refresh.end(), {"--album", "风景", "--refresh", "--gallery", "quillora"});
    const TGetRun refreshed = RunGet(scratch.Path(), server, refresh);
    EXPECT_EQ(refreshed.Status, 0) << refreshed.Err;
    EXPECT_NE(refreshed.Out.find("0 thumbnails made, 10 kept"), std::string::npos) << refreshed.Out;
    EXPECT_NE(refreshed.Err.find("quillora-get: gallery: Pic/风景/IMG_0003.jpg: "), std::string::npos)
        << refreshed.Err;
    EXPECT_EQ(Thumbnails(scratch.Path() / "out/Pic/风景").size(), 10u);
}

// One picture of three changes on the server: --refresh fetches it, and the
// gallery after it makes its thumbnail alone.
TEST(QuilloraGetGallery, ARefreshedPictureAloneGetsANewThumbnail) {
    TScratch scratch;
    const auto whole = [](const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const auto serve = [&](const std::string& second) {
        const fs::path wire =
            WriteWire(scratch.Path(), {{"IMG_0001.jpg", {{whole(Asset("photo-01.jpg")), "keep"}}},
                                       {"IMG_0002.jpg", {{whole(Asset(second)), "keep"}}},
                                       {"IMG_0003.jpg", {{whole(Asset("photo-03.jpg")), "keep"}}}});
        return std::make_unique<TServer>(scratch.Path(), std::vector<std::string>{"--wire", wire.string()});
    };
    const std::vector<std::string> args{"--config",   "/dev/null", "--dest",    "out", "--archive",
                                        "archive.db", "--refresh", "--gallery", "wire"};
    std::unique_ptr<TServer> server = serve("photo-02.jpg");
    const TGetRun first = RunGet(scratch.Path(), *server, args);
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_NE(first.Out.find("3 thumbnails made, 0 kept"), std::string::npos) << first.Out;
    const fs::path album = scratch.Path() / "out/Pic/线路";
    const std::set<std::string> before = Thumbnails(album);

    server.reset(); // one service at a time in the folder, and the port it writes is its own
    fs::remove(scratch.Path() / "server/port");
    server = serve("photo-04.jpg");
    const TGetRun second = RunGet(scratch.Path(), *server, args);
    ASSERT_EQ(second.Status, 0) << second.Err;
    EXPECT_NE(second.Out.find("1 thumbnails made, 2 kept"), std::string::npos) << second.Out;
    const std::set<std::string> after = Thumbnails(album);
    EXPECT_EQ(after.size(), 3u);
    size_t kept = 0;
    for (const std::string& name : after)
        kept += before.count(name);
    EXPECT_EQ(kept, 2u);
}

TEST(QuilloraGetGallery, HostileAlbumNamesShowAsTextAndTheConfigurationTurnsItOn) {
    TScratch scratch;
    const std::string hostile = "<img src=x onerror=alert(1)>&amp;\"";
    const fs::path wire =
        WriteWire(scratch.Path(),
                  {{"IMG_0001.jpg",
                    {{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Asset("photo-01.jpg").size()) +
                      "\r\n\r\n" + Asset("photo-01.jpg")}}}},
                  hostile);
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    WriteWhole(scratch.Path() / "config", "gallery = true\narchive = \"archive.db\"\n");
    const TGetRun run = RunGet(scratch.Path(), server, {"--config", "config", "--dest", "out", "wire"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const nlohmann::json gallery = ReadGallery(scratch.Path() / "out");
    ASSERT_TRUE(gallery.is_object());
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
    EXPECT_TRUE(Contains(gallery["pages"]["index.html"]["texts"], hostile)) << gallery["pages"].dump(1);
    for (const auto& [page, content] : gallery["pages"].items())
        for (const auto& image : content["images"])
            EXPECT_NE(image["src"], "x") << page;
}

TEST(QuilloraGetGallery, TheGalleryNeedsAnArchive) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const TGetRun run = RunGet(scratch.Path(), server, {"--config", "/dev/null", "--gallery"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Err.find("--gallery needs --archive FILE"), std::string::npos) << run.Err;
    const TGetRun missing =
        RunGet(scratch.Path(), server,
               {"--config", "/dev/null", "--dest", "nowhere", "--archive", "a.db", "--gallery"});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Err.find("quillora-get: gallery: "), std::string::npos) << missing.Err;
    EXPECT_FALSE(fs::exists(scratch.Path() / "nowhere"));
}

// With --json - standard output is the report alone: the gallery's line goes to standard error.
TEST(QuilloraGetGallery, TheReportOnStandardOutputStaysJson) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const TGetRun run = RunGet(scratch.Path(), server,
                               {"--config", "/dev/null", "--dest", "out", "--archive", "archive.db",
                                "--album", "风景", "--json", "-", "--gallery", "quillora"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const nlohmann::json report = nlohmann::json::parse(run.Out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << run.Out;
    EXPECT_EQ(report["totals"]["saved"], 11);
    EXPECT_NE(run.Err.find("gallery: "), std::string::npos) << run.Err;
    EXPECT_TRUE(fs::exists(scratch.Path() / "out/index.html"));
}
