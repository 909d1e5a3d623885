// The window's own fetches hold bodies in memory: a body past the limit fails
// the fetch with the address in the message, whatever its framing.

#include "http/BoundedFetch.h"
#include "HttpWireCase.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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
        {"ChunksOverTheLimit",
         ok + "Transfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\nghijkl\r\n0\r\n\r\n", 10, "abcdef",
         "10 bytes"},
        // An error reply's length is not a body anybody keeps.
        {"ErrorReplyIsNotMeasured",
         "HTTP/1.1 404 Not Found\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'e'), 10, "", "-"},
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

namespace {

// Answers one request with head and then body bytes for as long as the
// client reads them.
class TEndlessServer {
  public:
    explicit TEndlessServer(std::string head) : FHead(std::move(head)) {
        FListener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(FListener, 1) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no listener");
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TEndlessServer() {
        ::shutdown(FListener, SHUT_RDWR);
        FThread.join();
        ::close(FListener);
    }
    int Port() const { return FPort; }
    int64_t Sent() const { return FSent; }

  private:
    void Serve() {
        const int connection = ::accept(FListener, nullptr, nullptr);
        if (connection < 0) return;
        char request[4096];
        if (::recv(connection, request, sizeof(request), 0) > 0 &&
            ::send(connection, FHead.data(), FHead.size(), MSG_NOSIGNAL) > 0) {
            const std::string piece(1 << 20, 'e');
            for (ssize_t n; (n = ::send(connection, piece.data(), piece.size(), MSG_NOSIGNAL)) > 0;)
                FSent += n;
        }
        ::close(connection);
    }
    std::string FHead;
    int FListener = -1;
    int FPort = 0;
    std::atomic<int64_t> FSent{0};
    std::thread FThread;
};

} // namespace

// An error's body is kept for its message only: 64 KiB of it, and the
// connection is dropped instead of reading the rest.
TEST(BoundedFetch, EndlessErrorBodyEndsAt64KiB) {
    TEndlessServer server("HTTP/1.1 404 Not Found\r\n\r\n");
    TIdHTTP client;
    TMemoryStream body;
    try {
        client.FetchToStream("http://127.0.0.1:" + std::to_string(server.Port()) + "/x", body);
        ADD_FAILURE() << "no failure";
    } catch (const EIdHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode, 404);
        EXPECT_EQ(e.ReplyBody.size(), 65536u);
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(body.Size(), 0);
}
