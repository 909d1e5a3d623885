// The window's own fetches hold bodies in memory: a body past the limit fails
// the fetch with the address in the message, whatever its framing.

#include "HttpWireCase.h"
#include "http/BoundedFetch.h"

#include <cstdlib>

namespace {

using namespace wire;

// Fetches go direct, whatever the environment of the test run says.
class TNoProxy {
  public:
    TNoProxy() {
        for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
            if (const char* value = std::getenv(name)) FSaved.emplace_back(name, value);
            unsetenv(name);
        }
    }
    ~TNoProxy() {
        for (const auto& [name, value] : FSaved)
            setenv(name.c_str(), value.c_str(), 1);
    }

  private:
    std::vector<std::pair<std::string, std::string>> FSaved;
};

struct TBoundedCase {
    const char* Name;
    std::string Reply;
    int64_t Limit;
    std::string Body;
    std::string Failure; // empty: no failure
};

std::string Refusal(int port, const std::string& limit) {
    return "EIdReplyTooLarge: Download of http://127.0.0.1:" + std::to_string(port) +
           "/x refused: it is larger than " + limit;
}

} // namespace

TEST(BoundedFetch, BodiesUpToTheLimitOnly) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::vector<TBoundedCase> cases = {
        {"LengthAtTheLimit", ok + "Content-Length: 10\r\n\r\n0123456789", 10, "0123456789", ""},
        {"LengthOverTheLimit", ok + "Content-Length: 11\r\n\r\n", 10, "", "10 bytes"},
        {"UntilCloseAtTheLimit", "HTTP/1.0 200 OK\r\n\r\n0123456789", 10, "0123456789", ""},
        {"UntilCloseOverTheLimit", "HTTP/1.0 200 OK\r\n\r\n" + std::string(100000, 'u'), 10, "", "10 bytes"},
        {"ChunksOverTheLimit", ok + "Transfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\nghijkl\r\n0\r\n\r\n", 10,
         "abcdef", "10 bytes"},
        // An error reply's length is not a body anybody keeps.
        {"ErrorReplyIsNotMeasured", "HTTP/1.1 404 Not Found\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'e'),
         10, "", "-"},
    };
    TNoProxy direct;
    for (const TBoundedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedPeer peer({Reply(c.Reply)});
        TMemoryStream body;
        std::string failure;
        try {
            FetchBounded("http://127.0.0.1:" + std::to_string(peer.Port()) + "/x", body, c.Limit);
        } catch (const EIdReplyTooLarge& e) {
            failure = std::string(e.ClassName()) + ": " + e.Message();
        } catch (const EIdHTTPProtocolException&) {
            failure = "-";
        }
        EXPECT_EQ(failure, c.Failure == "" || c.Failure == "-" ? c.Failure : Refusal(peer.Port(), c.Failure));
        EXPECT_EQ(body.DataString(), c.Body);
    }
}

TEST(BoundedFetch, TextsAndFilesHaveTheirOwnLimits) {
    TNoProxy direct;
    {
        TScriptedPeer peer({Reply("HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n", false)});
        try {
            FetchBoundedText("http://127.0.0.1:" + std::to_string(peer.Port()) + "/x");
            ADD_FAILURE() << "no failure";
        } catch (const EIdReplyTooLarge& e) {
            EXPECT_EQ(std::string(e.ClassName()) + ": " + e.Message(), Refusal(peer.Port(), "64 MiB"));
        }
    }
    {
        TScriptedPeer peer({Reply("HTTP/1.1 200 OK\r\nContent-Length: 1073741825\r\n\r\n", false)});
        TMemoryStream body;
        try {
            FetchBoundedFile("http://127.0.0.1:" + std::to_string(peer.Port()) + "/x", body);
            ADD_FAILURE() << "no failure";
        } catch (const EIdReplyTooLarge& e) {
            EXPECT_EQ(std::string(e.ClassName()) + ": " + e.Message(), Refusal(peer.Port(), "1 GiB"));
        }
    }
}
