#pragma once
// Kept-alive clients of one worker, one per route: the proxy a URL goes
// through, or its origin when it goes direct. Each request starts as a fresh
// client's would (the same head, no cookies or credentials of an earlier
// reply); only the connection is reused. A bounded number of routes is kept,
// so that many hosts cannot hold many idle sockets.

#include "transfer/WireWatch.h"

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <utility>

class TIdHTTP;
class TIdCancelSignal;

class TPooledClients {
  public:
    explicit TPooledClients(const TIdCancelSignal* cancel, size_t maxRoutes = 4);
    ~TPooledClients();
    TPooledClients(const TPooledClients&) = delete;
    TPooledClients& operator=(const TPooledClients&) = delete;

    // The client for url, set up with the program's settings and reset to a
    // fresh client's request state.
    TIdHTTP& ClientFor(const std::string& url);
    // Whether url's request went out ahead on its route's connection and is next to be answered.
    bool NextSentAhead(const std::string& url);
    // Drops url's client (its exchange broke off: the connection is not to be trusted).
    void Drop(const std::string& url);
    // Hooked into every client handed out: tells a kept connection that was closed before any reply.
    const TWireWatch& Watch() const { return FWatch; }

  private:
    using TEntry = std::pair<std::string, std::unique_ptr<TIdHTTP>>;
    TWireWatch FWatch; // outlives the clients it is hooked into
    const TIdCancelSignal* FCancel;
    size_t FMaxRoutes;
    std::list<TEntry> FClients; // most recently used first
};

// The route a fetch of url takes: "proxy host:port" or "origin host:port".
std::string RouteKey(const std::string& url);
