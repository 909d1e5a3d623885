// quillora-fetch over IPv6 literals: the address in brackets reaches ::1, the
// Host header keeps the brackets, a proxy may itself be a bracketed literal,
// no_proxy names one in either form, and TLS checks the certificate's IP
// entry for it.

#include "QuilloraFetchRun.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers each connection on [::1] with one reply, keeping what it was asked.
class TV6Peer {
  public:
    explicit TV6Peer(std::string reply) : FReply(std::move(reply)) {
        FListener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(FListener, 4) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no IPv6 loopback here");
        FPort = ntohs(address.sin6_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TV6Peer() {
        Received();
        ::close(FListener);
    }
    int Port() const { return FPort; }
    std::string Received() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
        return FReceived;
    }

  private:
    void Serve() {
        // At most ten seconds, so a client that never comes fails the test instead of hanging it.
        for (int waited = 0; !FStop && waited < 10000; waited += 50) {
            pollfd p{FListener, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string head;
            char c = 0;
            while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
                head += c;
            FReceived += head;
            (void)!::send(fd, FReply.data(), FReply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    }

    std::string FReply;
    int FListener = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::string FReceived;
    std::thread FThread;
};

const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

bool HasIPv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

} // namespace

TEST(QuilloraFetchIPv6, BracketedLiteralsReachTheServerDirectlyOrThroughAProxy) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1";
    struct TRow {
        const char* Name;
        std::vector<std::string> Args; // {port} becomes the peer's port
        const char* NoProxy;
        std::string RequestHead; // how the request must begin
    };
    const std::vector<TRow> rows = {
        {"direct", {"http://[::1]:{port}/x"}, "", "GET /x HTTP/1.1\r\n"},
        {"proxy given as a literal",
         {"-x", "http://[::1]:{port}", "http://origin.invalid/x"},
         "",
         "GET http://origin.invalid:80/x HTTP/1.1\r\n"},
        // The proxy named here is closed: only skipping it can succeed.
        {"no_proxy bare",
         {"-x", "http://127.0.0.1:1", "http://[::1]:{port}/x"},
         "::1",
         "GET /x HTTP/1.1\r\n"},
        {"no_proxy bracketed",
         {"-x", "http://127.0.0.1:1", "http://[::1]:{port}/x"},
         "[::1]",
         "GET /x HTTP/1.1\r\n"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TV6Peer peer(Reply);
        std::vector<std::string> args;
        for (std::string a : row.Args) {
            const size_t at = a.find("{port}");
            if (at != std::string::npos) a.replace(at, 6, std::to_string(peer.Port()));
            args.push_back(a);
        }
        if (*row.NoProxy) args.insert(args.begin(), {"--noproxy", row.NoProxy});
        const TFetchRun run = RunFetch(args);
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_EQ(run.Out, "hello");
        const std::string received = peer.Received();
        EXPECT_EQ(received.rfind(row.RequestHead, 0), 0u) << received;
        const std::string host = row.RequestHead.find("origin") != std::string::npos
                                     ? "Host: origin.invalid\r\n"
                                     : "Host: [::1]:" + std::to_string(peer.Port()) + "\r\n";
        EXPECT_NE(received.find(host), std::string::npos) << received;
    }
}

TEST(QuilloraFetchIPv6, TlsChecksTheAddressAgainstTheCertificatesIpEntries) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1";
    TTlsPeer peer(TestPki().Good, {Reply}, "::1");
    const TFetchRun run = RunFetch({"--cacert", TestPki().CAFile, peer.Url("/x", "[::1]")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "hello");
    EXPECT_NE(peer.Received().find("Host: [::1]:" + std::to_string(peer.Port()) + "\r\n"), std::string::npos);
}
