#pragma once
// Tells a kept connection that the server had already given up from a reply
// that broke off: counts the connects and the bytes received on the clients
// it is hooked into.

#include "net/IdTCPConnection.h"

#include <cstdint>

class Exception;

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
    // the request went out on a connection kept from before and met its end.
    bool SilentOnKeptConnection(const TMark& mark) const {
        return FConnects == mark.Connects && FReceived == mark.Received;
    }
    // The request failed with e because the kept connection it went out on
    // had been closed by the server while it lay idle, before any byte of a
    // reply: no failure of what was asked, which is asked once more, for free,
    // on a new connection.
    bool ClosedBeforeReply(const TMark& mark, const Exception& e) const;

  private:
    int64_t FConnects = 0;
    int64_t FReceived = 0;
};
