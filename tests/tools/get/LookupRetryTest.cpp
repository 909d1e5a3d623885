// The home page, the album list and each album's picture list are asked
// again as a picture is: a connection cut before or inside the reply head, a
// server that says nothing until the read time-out, a 503 with Retry-After.
// With --retries 0 each one costs its account or album, as before.

#include "WireScript.h"
#include "support/ScriptedPeer.h"

namespace {

const std::string Home = "/wire";
const std::string List = "/album/wire/list.js";
const std::string Pics = "/album/wire/pics-01.js";

std::string PageOf(const std::string& path) {
    if (path == Home)
        return "<script>\r\nvar albumUrl = \"http://photo.quillora.example/album/wire/list.js\";\r\n"
               "var pictureSetUrl = \"http://photo.quillora.example/album/wire/set.js\";\r\n</script>\r\n";
    if (path == List)
        return "var albumList=[{id:1,name:'wire',s:0,desc:'wire',st:1,au:0,count:1,t:1,"
               "lurl:'t1/icon/quillora-wire-01-cover.jpg',dmt:0,"
               "purl:'photo.quillora.example/album/wire/pics-01.js'}];\r\n";
    return "var pictureList=[{id:1,ourl:'b1/wire-01/ok.jpg',ow:800,oh:600,name:'IMG_0001'}];\r\n";
}

// Every way a lookup fails that is worth asking again, one after another, then the page.
std::vector<TReply> FaultsThenPage(const std::string& path) {
    return {
        {"", "silent"},                             // nothing until the read time-out
        {"HTTP/1.1 200 OK\r\nContent-Le", "close"}, // cut inside the head
        {"", "close"},                              // closed before any byte
        {"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n", "keep"},
        {Ok(PageOf(path)), "keep"},
    };
}

size_t RequestsFor(const TServer& server, const std::string& path) {
    size_t n = 0;
    for (const std::string& line : server.Requests())
        if (line.find(" photo.quillora.example " + path + " ") != std::string::npos) ++n;
    return n;
}

const std::string Picture = "a picture of the wire account";

} // namespace

TEST(LookupRetry, EachLookupStepIsAskedAgainUntilItAnswers) {
    for (const std::string& step : {Home, List, Pics}) {
        SCOPED_TRACE(step);
        TScratch scratch;
        std::map<std::string, std::vector<TReply>> pages;
        for (const std::string& path : {Home, List, Pics})
            pages[path] =
                path == step ? FaultsThenPage(path) : std::vector<TReply>{{Ok(PageOf(path)), "keep"}};
        const fs::path wire = WriteWire(scratch.Path(), {{"ok.jpg", {{Ok(Picture), "keep"}}}}, "wire", pages);
        TServer server(scratch.Path(), {"--wire", wire.string()});
        ASSERT_GT(server.Port(), 0);
        const TGetRun run = RunGet(scratch.Path(), server,
                                   {"--retries", "4", "--backoff", "10", "--timeout", "1", "-v", "--dest",
                                    "out", "--json", "report.json", "wire"});
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(ReadWhole(scratch.Path() / "out/Pic/wire/ok.jpg"), Picture);
        EXPECT_EQ(RequestsFor(server, step), 5u);
        // Each failed attempt is told with -v, the wait the server asked for included.
        EXPECT_NE(run.Err.find("attempt 1 failed"), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("attempt 4 failed (HTTP/1.1 503 Service Unavailable); next in 1.0 s"),
                  std::string::npos)
            << run.Err;
    }
}

TEST(LookupRetry, WithoutRetriesTheFirstFailureCostsTheAccountOrAlbum) {
    for (const std::string& step : {Home, List, Pics}) {
        SCOPED_TRACE(step);
        TScratch scratch;
        std::map<std::string, std::vector<TReply>> pages;
        for (const std::string& path : {Home, List, Pics})
            pages[path] = path == step ? std::vector<TReply>{{"HTTP/1.1 200 OK\r\nContent-Le", "close"},
                                                             {Ok(PageOf(path)), "keep"}}
                                       : std::vector<TReply>{{Ok(PageOf(path)), "keep"}};
        const fs::path wire = WriteWire(scratch.Path(), {{"ok.jpg", {{Ok(Picture), "keep"}}}}, "wire", pages);
        TServer server(scratch.Path(), {"--wire", wire.string()});
        ASSERT_GT(server.Port(), 0);
        const TGetRun run = RunGet(scratch.Path(), server,
                                   {"--retries", "0", "--dest", "out", "--json", "report.json", "wire"});
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(RequestsFor(server, step), 1u);
        EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic/wire/ok.jpg"));
        if (step == Pics) {
            ASSERT_EQ(run.Report["albums"].size(), 1u) << run.Report.dump();
            EXPECT_NE(run.Report["albums"][0].value("error", ""), "");
        } else {
            EXPECT_TRUE(StartsWith(run.Err, "quillora-get: account wire: photo.quillora.example via proxy "))
                << run.Err;
        }
    }
}

// The service is not there yet when the home page is first asked for: the
// connection is refused, and the run waits and asks again.
TEST(LookupRetry, ARefusedConnectionIsAskedAgain) {
    TScratch scratch;
    const int port = ClosedLoopbackPort();
    const std::string proxy = "127.0.0.1:" + std::to_string(port);
    TServer none(scratch.Path() / "none", {}); // only for the harness: the proxy is the closed port
    auto child = StartGet(
        scratch.Path(), none,
        {"--proxy", proxy, "--retries", "3", "--backoff", "1500", "-v", "--dest", "out", "quillora"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ReadWhole(scratch.Path() / "stderr.txt").find("attempt 1 failed") != std::string::npos;
        },
        std::chrono::seconds(30)));
    TServer server(scratch.Path(), {"--port", std::to_string(port)});
    ASSERT_EQ(server.Port(), port);
    const TGetRun run = FinishGet(scratch.Path(), *child);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Err.find("Connection refused"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadWhole(scratch.Path() / "out/Pic/旅行/IMG_0001.jpg"), Asset("photo-01.jpg"));
}
