#include "support/TlsPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int LimitMs = 10000;

SSL_CTX* ServerContext(const std::string& cert, const std::string& key) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("the TLS peer cannot load " + cert);
    return context;
}

} // namespace

TTlsPeer::TTlsPeer(const TTestCertificate& certificate, std::vector<std::string> replies,
                   const std::string& address, bool goodbye)
    : FCertFile(certificate.Cert), FKeyFile(certificate.Key), FReplies(std::move(replies)),
      FGoodbye(goodbye) {
    // OpenSSL writes with write(): a client that hangs up before its reply
    // would otherwise kill the whole test binary with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    const bool v6 = address.find(':') != std::string::npos;
    FListener = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any{}; // large enough for either family
    auto* v4 = reinterpret_cast<sockaddr_in*>(&any);
    any.sin6_family = v6 ? AF_INET6 : AF_INET;
    const int parsed = v6 ? ::inet_pton(AF_INET6, address.c_str(), &any.sin6_addr)
                          : ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
    socklen_t length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (parsed != 1 || ::bind(FListener, reinterpret_cast<sockaddr*>(&any), length) != 0 ||
        ::listen(FListener, 8) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&any), &length) != 0)
        throw std::runtime_error("the TLS peer cannot listen on " + address);
    FPort = ntohs(v6 ? any.sin6_port : v4->sin_port);
    FThread = std::thread([this] { Serve(); });
}

TTlsPeer::~TTlsPeer() {
    Received();
    ::close(FListener);
}

const std::string& TTlsPeer::Received() {
    if (FThread.joinable()) FThread.join();
    return FReceived;
}

void TTlsPeer::Serve() {
    size_t next = 0;
    while (next < FReplies.size()) {
        pollfd listener{FListener, POLLIN, 0};
        if (::poll(&listener, 1, LimitMs) <= 0) return;
        const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ++FConnections;
        const timeval limit{LimitMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const bool goOn = ServeConnection(fd, next);
        ::close(fd);
        if (!goOn) return;
    }
}

// false when the client went wrong in a way that ends the script.
bool TTlsPeer::ServeConnection(int fd, size_t& next) {
    SSL_CTX* context = ServerContext(FCertFile, FKeyFile);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    bool goOn = SSL_accept(ssl) == 1;
    bool clientClosed = false;
    while (goOn && next < FReplies.size()) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<size_t>(n));
        }
        FReceived += request;
        if (request.find("\r\n\r\n") == std::string::npos) { // the client closed: next connection
            clientClosed = true;
            break;
        }
        const std::string& reply = FReplies[next++];
        goOn = SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) == static_cast<int>(reply.size());
        if (reply.find("Connection: close") != std::string::npos) break;
    }
    // A body that ends with the connection is whole only with the goodbye.
    if (goOn && !clientClosed && FGoodbye) SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(context);
    return goOn;
}
