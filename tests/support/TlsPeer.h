#pragma once
// A TLS server on 127.0.0.1 (or ::1) for client tests. Each connection is accepted,
// negotiated with the given certificate and answered, request by request (a
// request ends with its empty line), with the next of the replies; a reply
// that says "Connection: close" closes its connection afterwards, as does
// the last reply; each close is preceded by the TLS goodbye (close_notify),
// unless the peer is told to cut its connections without it. Every request
// is kept. Sockets wait at most 10 s, so a misbehaving client fails
// the test instead of hanging it.

#include "support/TestPki.h"

#include <string>
#include <thread>
#include <vector>

class TTlsPeer {
  public:
    // address: the loopback address to listen on, "127.0.0.1" or "::1";
    // goodbye false: every connection is cut without close_notify.
    TTlsPeer(const TTestCertificate& certificate, std::vector<std::string> replies,
             const std::string& address = "127.0.0.1", bool goodbye = true);
    ~TTlsPeer();
    TTlsPeer(const TTlsPeer&) = delete;
    TTlsPeer& operator=(const TTlsPeer&) = delete;

    int Port() const { return FPort; }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(FPort) + path;
    }
    // Waits for the peer to finish (or gives up on it), then every request it read.
    const std::string& Received();
    // How many connections it accepted (after Received).
    int Connections() const { return FConnections; }

  private:
    void Serve();
    bool ServeConnection(int fd, size_t& next);

    std::string FCertFile;
    std::string FKeyFile;
    std::vector<std::string> FReplies;
    int FListener = -1;
    int FPort = 0;
    int FConnections = 0;
    bool FGoodbye = true;
    std::string FReceived;
    std::thread FThread;
};
