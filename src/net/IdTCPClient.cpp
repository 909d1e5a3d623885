#include "net/IdTCPClient.h"

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

#include <memory>

void TIdTCPClient::DoOnConnected() {
    if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Connect(int32_t timeout) {
    if (!IOHandler()) {
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        handler->OnStatus = OnStatus;
        SetOwnedIOHandler(std::move(handler));
    } else if (IOHandler()->IsOpen()) {
        throw EIdAlreadyConnected(RSAlreadyConnected);
    }
    try {
        IOHandler()->OpenHandler();
        ResetInputState();
        IOHandler()->ConnectTo(Host, Port, timeout, BoundPortHigh, BoundPortLow, BoundPort, BoundIP);
        if (Intercept) Intercept->Connect(this);
        ReportStatus(hsConnected, Host);
        DoOnConnected();
    } catch (...) {
        // The handler stays for the next attempt; a failed connect reports no disconnect.
        DropSocket();
        throw;
    }
}

std::string TIdTCPClient::ConnectAndGetAll() {
    Connect(-1);
    std::string result;
    try {
        result = ReadAllUntilClose();
    } catch (...) {
        Disconnect();
        throw;
    }
    Disconnect();
    return result;
}
