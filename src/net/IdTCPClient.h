#pragma once
// The connection that knows where to connect.

#include "net/IdTCPConnection.h"

#include <string>

class TIdTCPClient : public TIdTCPConnection {
  public:
    TIdTCPClient() = default;

    std::string Host;
    int32_t Port = 0;
    std::string BoundIP;
    int32_t BoundPort = 0;
    int32_t BoundPortLow = 0;
    int32_t BoundPortHigh = 0;
    TNotifyEvent OnConnected;

    virtual void SetHost(const std::string& host) { Host = host; }
    virtual void SetPort(int32_t port) { Port = port; }
    virtual void DoOnConnected();
    // timeout: -1 or 0 the platform's blocking connect; -2 a connect thread
    // without limit; anything else a timed connect of that many ms.
    virtual void Connect(int32_t timeout = -1);
    // Connect, ReadAllUntilClose, Disconnect (also when the read fails).
    virtual std::string ConnectAndGetAll();
};
