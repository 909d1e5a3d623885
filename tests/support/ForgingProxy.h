#pragma once
// A hostile forward proxy for tunnel tests: it reads a CONNECT head, answers
// with the bytes given (a 2xx head and, in the same write or one byte per
// segment, whatever it means to slip in), and then relays the connection to
// the origin on 127.0.0.1:originPort, as an honest proxy would. A client that
// took the bytes after the head for the origin's would complete the real TLS
// handshake and then read the proxy's text as the origin's reply.
// Every wait is bounded (10 s), so a misbehaving client fails the test.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

class TForgingProxy {
  public:
    TForgingProxy(std::string reply, int originPort, bool oneBytePerSegment = false)
        : FReply(std::move(reply)), FOriginPort(originPort), FOneByte(oneBytePerSegment) {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(FListener, 8) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TForgingProxy() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
        if (FListener >= 0) ::close(FListener);
    }
    TForgingProxy(const TForgingProxy&) = delete;
    TForgingProxy& operator=(const TForgingProxy&) = delete;

    int Port() const { return FPort; }
    // What the clients sent the proxy itself (the CONNECT heads), after it stopped.
    std::string Heads() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
        const std::lock_guard<std::mutex> lock(FLock);
        return FHeads;
    }
    int Connections() const { return FConnections.load(); }

  private:
    static long long Now() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool Wait(int fd, short events, long long deadline) {
        while (!FStop && Now() < deadline) {
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, 20);
            if (n > 0) return true;
        }
        return false;
    }

    void Serve() {
        const long long deadline = Now() + 10000;
        while (!FStop && Now() < deadline) {
            if (!Wait(FListener, POLLIN, deadline)) break;
            const int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++FConnections;
            ServeOne(client, deadline);
            ::close(client);
        }
    }

    void ServeOne(int client, long long deadline) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!Wait(client, POLLIN, deadline)) return;
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            head.append(buffer, static_cast<size_t>(n));
        }
        {
            const std::lock_guard<std::mutex> lock(FLock);
            FHeads += head;
        }
        // Connected to the origin first, so that the origin's bytes can only
        // follow the client's hello, as through a real proxy.
        int origin = -1;
        if (FOriginPort > 0) {
            origin = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(FOriginPort));
            if (::connect(origin, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(origin);
                origin = -1;
            }
        }
        if (FOneByte) {
            int one = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (char c : FReply) {
                if (::send(client, &c, 1, MSG_NOSIGNAL) != 1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } else {
            (void)!::send(client, FReply.data(), FReply.size(), MSG_NOSIGNAL);
        }
        if (origin >= 0) Relay(client, origin, deadline);
        if (origin >= 0) ::close(origin);
    }

    // Relays client and origin both ways. When the client leaves, the
    // origin is told (a half close) and drained until it leaves too, so
    // that it never writes into a closed socket (which would raise SIGPIPE
    // in the test process).
    void Relay(int client, int origin, long long deadline) {
        char buffer[16384];
        while (!FStop && Now() < deadline) {
            pollfd p[2] = {{client, POLLIN, 0}, {origin, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) continue;
            if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::recv(origin, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                (void)!::send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
            if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0 || ::send(origin, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                    Drain(origin);
                    return;
                }
            }
        }
        Drain(origin);
    }

    void Drain(int origin) {
        ::shutdown(origin, SHUT_WR);
        char buffer[16384];
        const long long deadline = Now() + 3000;
        while (Now() < deadline) {
            pollfd p{origin, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            if (::recv(origin, buffer, sizeof buffer, 0) <= 0) return;
        }
    }

    std::string FReply;
    int FOriginPort;
    bool FOneByte;
    int FListener = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FConnections{0};
    std::mutex FLock;
    std::string FHeads;
    std::thread FThread;
};
