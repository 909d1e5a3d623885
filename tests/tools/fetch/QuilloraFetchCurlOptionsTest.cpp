// quillora-fetch's curl options (-s, -S, -f, -I, -O, -H, clustered letters)
// and its failure lines: one line each, the URL first when there were
// several, the host (and proxy) of a network failure.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/RealServers.h"

#include <filesystem>

namespace {

using namespace wire;
namespace fs = std::filesystem;

// A run in a folder of its own, whose files it lists.
TFetchRun Fetch(std::vector<std::string> args) {
    TTempFolder scratch;
    fs::create_directory(scratch.Path() + "/cwd");
    TFetchRun r = RunFetchIn(scratch, std::move(args), "out", scratch.Path() + "/cwd");
    for (const auto& entry : fs::directory_iterator(scratch.Path() + "/cwd"))
        r.Files.push_back(entry.path().filename().string() + "=" +
                          scratch.ReadFile("cwd/" + entry.path().filename().string()));
    std::sort(r.Files.begin(), r.Files.end());
    return r;
}

std::string Url(const TScriptedPeer& peer, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

const std::string NotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone";
const std::string Found = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nbytes";

} // namespace

// What a 404 gives, with and without -f, -s, -S: the body and status 0, or
// with -f status 22, no body and curl's words unless silenced.
TEST(QuilloraFetchCurlOptions, FailSilentAndShowError) {
    struct TCase {
        std::vector<std::string> Options;
        int Status;
        std::string Out, Err;
    };
    const std::string line = "EIdHTTPProtocolException: The requested URL returned error: 404\n";
    const std::vector<TCase> cases{
        {{}, 0, "gone", ""},
        {{"-f"}, 22, "", line},
        {{"--fail"}, 22, "", line},
        {{"-s"}, 0, "gone", ""},
        {{"--silent", "-f"}, 22, "", ""},
        {{"-sf"}, 22, "", ""},
        {{"-fsS"}, 22, "", line},
        {{"-s", "--show-error"}, 0, "gone", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Options));
        TScriptedPeer peer(Reply(NotFound));
        std::vector<std::string> args = c.Options;
        args.push_back(Url(peer, "/x"));
        const TFetchRun run = Fetch(args);
        EXPECT_EQ(run.ExitCode, c.Status);
        EXPECT_EQ(run.Out, c.Out);
        EXPECT_EQ(run.Err, c.Err);
    }
}

// A failure is one line: the client's Winsock frame in brackets after the
// host, the proxy named when the request went through one, the URL first
// when several were given.
TEST(QuilloraFetchCurlOptions, FailureLines) {
    const std::string closed = std::to_string(ClosedLoopbackPort());
    const TFetchRun refused = Fetch({"http://127.0.0.1:" + closed + "/"});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(refused.Err, "EIdConnectException: 127.0.0.1: Connection refused (Socket Error # 10061)\n");

    const TFetchRun proxied = Fetch({"-x", "127.0.0.1:" + closed, "http://photo.quillora.example/quillora"});
    EXPECT_EQ(proxied.ExitCode, 1);
    EXPECT_EQ(proxied.Err, "EIdConnectException: photo.quillora.example via proxy 127.0.0.1:" + closed +
                               ": Connection refused (Socket Error # 10061)\n");

    TScriptedPeer peer(TPeerScript{S::ReadUntil(RequestEnd), S::Send(Found), S::ReadUntil(RequestEnd),
                                   S::Send(NotFound), S::Stall(3000)});
    const TFetchRun second = Fetch({"-f", Url(peer, "/a"), Url(peer, "/b"), Url(peer, "/c")});
    EXPECT_EQ(second.ExitCode, 22);
    EXPECT_EQ(second.Out, "bytes");
    EXPECT_EQ(second.Err,
              "EIdHTTPProtocolException: " + Url(peer, "/b") + ": The requested URL returned error: 404\n");
}

// -I sends HEAD and writes the reply's head where the body would go.
TEST(QuilloraFetchCurlOptions, HeadWritesTheReplysHeaders) {
    TScriptedPeer peer(Reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"e\"\r\n\r\n"));
    const TFetchRun run = Fetch({"-I", Url(peer, "/h")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"e\"\r\n\r\n");
    peer.Stop();
    std::string head = Replace(Get("/h"), peer.Port());
    head.replace(0, 3, "HEAD");
    EXPECT_EQ(peer.Received(), head);
}

// -H adds a header, replaces the client's own of that name, or leaves it out.
TEST(QuilloraFetchCurlOptions, HeadersOnTheWire) {
    TScriptedPeer peer(Reply(Found));
    const TFetchRun run = Fetch({"-H", "X-Token: 12", "--header", "User-Agent: tester/1", "-H",
                                 "Accept:", "-H", "X-Empty;", Url(peer, "/h")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "bytes");
    peer.Stop();
    EXPECT_EQ(peer.Received(),
              Replace("GET /h HTTP/1.1\r\nContent-Type: text/html\r\nX-Token: 12\r\nX-Empty:\r\n"
                      "Host: 127.0.0.1:{port}\r\nUser-Agent: tester/1\r\n\r\n",
                      peer.Port()));
}

// -O saves under the URL's own name in the current folder, one URL per -O;
// the other URLs go to standard output.
TEST(QuilloraFetchCurlOptions, RemoteNameSavesInTheCurrentFolder) {
    TScriptedPeer peer(TPeerScript{S::ReadUntil(RequestEnd), S::Send(Found), S::ReadUntil(RequestEnd),
                                   S::Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ntwo"),
                                   S::Stall(3000)});
    const TFetchRun run = Fetch({"-O", Url(peer, "/albums/photo.jpg?size=big"), Url(peer, "/rest")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "two");
    EXPECT_EQ(run.Files, std::vector<std::string>{"photo.jpg=bytes"});

    // A failed fetch leaves no file.
    TScriptedPeer failing(Reply(NotFound));
    const TFetchRun failed = Fetch({"--remote-name", "-f", Url(failing, "/gone.jpg")});
    EXPECT_EQ(failed.ExitCode, 22);
    EXPECT_TRUE(failed.Files.empty());
}

// Command lines that cannot be carried out: status 2, before any request.
TEST(QuilloraFetchCurlOptions, BadCommandLines) {
    struct TCase {
        std::vector<std::string> Args;
        std::string FirstLine;
    };
    const std::vector<TCase> cases{
        {{"-O", "http://127.0.0.1:1/albums/"},
         "quillora-fetch: -O: http://127.0.0.1:1/albums/ names no file"},
        {{"-O", "http://127.0.0.1:1"}, "quillora-fetch: -O: http://127.0.0.1:1 names no file"},
        {{"-H", "NoColon", "http://127.0.0.1:1/"}, "quillora-fetch: -H: \"NoColon\" is no header"},
        {{"-H", "Host: elsewhere", "http://127.0.0.1:1/"}, "quillora-fetch: -H: Host is set by the client"},
        {{"-H"}, "quillora-fetch: option -H needs a value"},
        {{"-sZ", "http://127.0.0.1:1/"}, "quillora-fetch: unknown option -Z"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Args));
        const TFetchRun run = Fetch(c.Args);
        EXPECT_EQ(run.ExitCode, 2);
        EXPECT_EQ(run.Err.rfind(c.FirstLine, 0), 0u) << run.Err;
    }
}

// -v shows a disconnect only of a connection that was made.
TEST(QuilloraFetchCurlOptions, VerboseStartsWithTheConnection) {
    TScriptedPeer peer(Reply(Found));
    const TFetchRun run = Fetch({"-v", Url(peer, "/v")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err.rfind("* Connecting to 127.0.0.1", 0), 0u) << run.Err;
    EXPECT_LT(run.Err.find("* Connected."), run.Err.find("* Disconnect")) << run.Err;
}
