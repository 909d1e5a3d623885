// How the command-line tools word a network failure: on one line, the host
// (and the proxy) first, the client's Winsock frame in brackets.

#include "../common/NetworkError.h"
#include "GetHarness.h"
#include "support/ScriptedPeer.h"

TEST(NetworkMessages, OneLineNamingTheHost) {
    struct TCase {
        std::string Message, Host, Proxy, Shown;
    };
    const std::vector<TCase> cases{
        {"Socket Error # 11001\r\nHost not found.", "photo.quillora.example", "",
         "photo.quillora.example: Host not found (Socket Error # 11001)"},
        {"Socket Error # 10061\r\nConnection refused.", "photo.quillora.example", "127.0.0.1:9",
         "photo.quillora.example via proxy 127.0.0.1:9: Connection refused (Socket Error # 10061)"},
        // As the transfer engine keeps it: its lines joined by a blank.
        {"Socket Error # 10060 Connection timed out.", "img1.photo.quillora.example", "",
         "img1.photo.quillora.example: Connection timed out (Socket Error # 10060)"},
        {"Socket Error # 10054", "h", "", "h: Socket Error # 10054"},
        {"Read Timeout", "h", "", "h: Read Timeout"},
        {"Connection Closed Gracefully.", "h", "10.0.0.1:3128",
         "h via proxy 10.0.0.1:3128: Connection Closed Gracefully."},
        {"two\r\nlines\n\nand more", "", "", "two lines and more"},
        {"Socket Error # 10061\r\nConnection refused.", "", "127.0.0.1:9",
         "proxy 127.0.0.1:9: Connection refused (Socket Error # 10061)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Message);
        EXPECT_EQ(NetworkErrorText(c.Message, c.Host, c.Proxy), c.Shown);
    }
}

// An account that cannot be looked up because its proxy is not there: the
// home host and the proxy named, on one line.
TEST(NetworkMessages, LookupThroughAProxyThatIsNotThere) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const std::string proxy = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    for (const bool list : {true, false}) {
        SCOPED_TRACE(list);
        // A short back-off: the refusal is asked again, as every lookup is, before it is told.
        std::vector<std::string> args{"--proxy", proxy, "--backoff", "10", "--dest", "out", "quillora"};
        if (list) args.insert(args.begin(), "--list");
        const TGetRun run = RunGet(scratch.Path(), server, args);
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(run.Err.substr(0, run.Err.find('\n') + 1),
                  "quillora-get: account quillora: photo.quillora.example via proxy " + proxy +
                      ": Connection refused (Socket Error # 10061)\n");
    }
}
