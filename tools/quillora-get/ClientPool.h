#pragma once
// A worker's kept-alive connections. A client is a connection to where the
// requests go: the proxy (one for every picture host behind it), or the
// origin when the picture is fetched directly. Only a few stay open; the
// least recently used one goes first, so a run over thousands of picture
// hosts holds a handful of sockets, not one per host.

#include "http/IdHTTP.h"
#include "net/IdTCPConnection.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>

// Counts the connects and the bytes received on one client, to tell a kept
// connection that the server had already given up from a reply that broke off.
class TWireWatch : public TIdConnectionIntercept {
  public:
    struct TMark {
        int64_t Connects = 0;
        int64_t Received = 0;
    };
    void Connect(TIdTCPConnection*) override { ++FConnects; }
    void Receive(TIdSimpleBuffer& buffer) override { FReceived += buffer.Size(); }
    TMark Mark() const { return {FConnects, FReceived}; }
    // Since mark: no new connection was opened and not a byte came back, so
    // the request went out on a connection kept from before.
    bool SilentOnKeptConnection(const TMark& mark) const {
        return FConnects == mark.Connects && FReceived == mark.Received;
    }

  private:
    int64_t FConnects = 0;
    int64_t FReceived = 0;
};

struct TPooledClient {
    TIdHTTP Client;
    TWireWatch Watch;
};

// The connection a request for url goes out on: "proxy user@host:port" or
// "direct host:port".
std::string RouteKey(const std::string& url);

class TClientPool {
  public:
    // maxClients: how many clients (connections) stay kept at most.
    explicit TClientPool(size_t maxClients) : FMaxClients(maxClients < 1 ? 1 : maxClients) {}

    // The client for url's route, created with the program's settings when
    // there is none; the clients past the limit are closed.
    TPooledClient& For(const std::string& url);
    // Closes and forgets the client of url's route.
    void Drop(const std::string& url);
    size_t Count() const { return FClients.size(); }

  private:
    using TEntry = std::pair<std::string, std::unique_ptr<TPooledClient>>;
    size_t FMaxClients;
    std::list<TEntry> FClients; // the most recently used first
};
