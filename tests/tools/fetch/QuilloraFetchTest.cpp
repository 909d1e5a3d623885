// The quillora-fetch tool as a user runs it: bodies on standard output or in
// a file, one client for all URLs, and "ExceptionClass: message" as the last
// line of standard error on failure.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/RealServers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace wire;

std::string Base(const TScriptedPeer& peer) {
    return "http://127.0.0.1:" + std::to_string(peer.Port());
}

} // namespace

TEST(QuilloraFetch, FetchesEveryUrlOnOneClient) {
    TScriptedPeer peer(
        TPeerScript{S::ReadUntil(RequestEnd),
                    S::Send("HTTP/1.1 200 OK\r\nSet-Cookie: s=9\r\nContent-Length: 4\r\n\r\none\n"),
                    S::ReadUntil(RequestEnd),
                    S::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\ntwo\n\r\n0\r\n\r\n"),
                    S::Stall(3000)});
    const TFetchRun run = RunFetch({Base(peer) + "/1", Base(peer) + "/2"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "one\ntwo\n");
    EXPECT_EQ(run.Err, "");
    peer.Stop();
    EXPECT_EQ(peer.Received(), Replace(Get("/1") + Get("/2", "Cookie: s=9\r\n"), peer.Port()));
}

TEST(QuilloraFetch, FailureIsTheLastLineAndExitStatusOne) {
    const TFetchRun refused = RunFetch({"http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/"});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(refused.LastErrLine(),
              "EIdConnectException: 127.0.0.1: Connection refused (Socket Error # 10061)");
    // https is reached as http is: a closed port is refused the same way.
    const TFetchRun secure = RunFetch({"https://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/"});
    EXPECT_EQ(secure.ExitCode, 1);
    EXPECT_EQ(secure.LastErrLine(),
              "EIdConnectException: 127.0.0.1: Connection refused (Socket Error # 10061)");
}

TEST(QuilloraFetch, WritesToAFileAndShowsTheExchange) {
    TScriptedPeer peer(Reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nbytes"));
    TTempFolder folder;
    const TFetchRun run = RunFetch({"-v", "-o", folder.Path() + "/body", Base(peer) + "/f"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(folder.ReadFile("body"), "bytes");
    EXPECT_NE(run.Err.find("> GET /f HTTP/1.1\n> Content-Type: text/html\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("< HTTP/1.1 200 OK\n< Content-Length: 5\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("* Connected.\n"), std::string::npos) << run.Err;
}

TEST(QuilloraFetch, FollowsRedirectsAndAnswersChallenges) {
    TScriptedPeer peer(TPeerScript{
        S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n"),
        S::ReadUntil(RequestEnd),
        S::Send(
            "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"q\"\r\nContent-Length: 0\r\n\r\n"),
        S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nin"), S::Stall(3000)});
    const TFetchRun run = RunFetch({"-L", "-u", "user:pass", Base(peer) + "/a"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "in");
    peer.Stop();
    // A credentials retry starts over at the URL the fetch was given.
    EXPECT_EQ(
        peer.Received(),
        Replace(Get("/a") + Get("/b") + Get("/a", "Authorization: Basic dXNlcjpwYXNz\r\n"), peer.Port()));

    TScriptedPeer loop(TPeerScript{
        S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 302 Found\r\nLocation: /a\r\nContent-Length: 0\r\n\r\n"),
        S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 302 Found\r\nLocation: /a\r\nContent-Length: 0\r\n\r\n"),
        S::Stall(3000)});
    // One redirect followed; the second one fails the fetch: the resource was never reached.
    const TFetchRun limited = RunFetch({"-L", "--max-redirs", "1", Base(loop) + "/a"});
    EXPECT_EQ(limited.ExitCode, 1);
    EXPECT_NE(limited.Err.find("EIdHTTPProtocolException: Maximum (1) redirects followed"), std::string::npos)
        << limited.Err;
    loop.Stop();
    EXPECT_EQ(loop.Received(), Replace(Get("/a") + Get("/a"), loop.Port()));
}

TEST(QuilloraFetch, ProxyFromTheCommandLine) {
    TScriptedPeer proxy(Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\npx"));
    const TFetchRun run =
        RunFetch({"-x", "127.0.0.1:" + std::to_string(proxy.Port()), "-U", "pu:pp", "http://origin.test/a"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "px");
    proxy.Stop();
    EXPECT_EQ(proxy.Received(),
              Get("http://origin.test:80/a", "Proxy-Authorization: Basic cHU6cHA=\r\n", "origin.test"));
}

TEST(QuilloraFetch, RealServerToStandardOutput) {
    TNginxServer server;
    std::string bytes(200000, '\0');
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<char>(k * 31 + 7);
    server.Root().WriteFile("big", bytes);
    const TFetchRun run = RunFetch({server.Url("big"), server.Url("big")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(run.Out == bytes + bytes);
}

// The body as the reply's framing gives it, whatever way its
// Transfer-Encoding is written: two lines are one list, identity is no coding.
TEST(QuilloraFetch, WritesTheBodyTheFramingGives) {
    const struct {
        const char* Head;
        const char* Body;
    } cases[] = {
        {"Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n", "hello"},
        {"Transfer-Encoding: identity, chunked\r\n", "hello"},
        {"Transfer-Encoding: identity\r\n", "5\r\nhello\r\n0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        TScriptedPeer peer(
            Reply(std::string("HTTP/1.1 200 OK\r\n") + c.Head + "\r\n5\r\nhello\r\n0\r\n\r\n"));
        const TFetchRun run = RunFetch({Base(peer) + "/t"});
        EXPECT_EQ(run.ExitCode, 0) << c.Head << run.Err;
        EXPECT_EQ(run.Out, c.Body) << c.Head;
    }
    TScriptedPeer blank(
        Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding : chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"));
    const TFetchRun refused = RunFetch({Base(blank) + "/t"});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(refused.Out, "");
    EXPECT_EQ(refused.LastErrLine(),
              "EIdHTTPProtocolException: Reply refused: its header line \"Transfer-Encoding "
              ": chunked\" has blanks around its name");
}

// A transfer coding the client cannot take off (it never asks for one) would
// leave its bytes in the body: the reply is refused and nothing is written.
TEST(QuilloraFetch, ACodingItCannotTakeOffIsRefusedAndNothingWritten) {
    const struct {
        const char* Codings;
        const char* Named;
    } cases[] = {
        {"gzip", "gzip"}, {"identityx", "identityx"}, {"gzip, chunked", "gzip"}, {"chunked, x", "x"}};
    for (const auto& c : cases) {
        TScriptedPeer peer(Reply(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: ") + c.Codings +
                                 "\r\n\r\n5\r\nhello\r\n0\r\n\r\n"));
        TTempFolder scratch;
        const std::string file = scratch.Path() + "/got.bin";
        const TFetchRun run = RunFetchIn(scratch, {"-o", file, Base(peer) + "/t"});
        EXPECT_EQ(run.ExitCode, 1) << c.Codings;
        EXPECT_EQ(run.LastErrLine(),
                  std::string("EIdHTTPProtocolException: Transfer coding ") + c.Named + " is not supported");
        EXPECT_NE(::access(file.c_str(), F_OK), 0) << c.Codings;
    }
}

// A head with a bare CR or without a colon is refused with the line, escaped.
TEST(QuilloraFetch, ABrokenHeadIsRefusedNamingItsLine) {
    TScriptedPeer peer(Reply("HTTP/1.1 200 OK\r\nX-A: 1\rContent-Length: 0\r\nContent-Length: 2\r\n\r\nok"));
    const TFetchRun run = RunFetch({Base(peer) + "/t"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.LastErrLine(), "EIdHTTPProtocolException: Reply refused: its header line "
                                 "\"X-A: 1\\rContent-Length: 0\" holds a bare CR");
}
