#include "net/IdTCPClient.h"

#include "core/ScopeGuard.h"
#include "net/IdCancelSignal.h"
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
    if (CancelSignal && CancelSignal->Cancelled()) throw EIdCancelled(RSCancelled);
    IOHandler()->CancelSignal = CancelSignal;
    // The handler stays for the next attempt; a failed connect reports no disconnect.
    const auto drop = ScopeFail([this] { DropSocket(); });
    IOHandler()->OpenHandler();
    ResetInputState();
    IOHandler()->ConnectTo(Host, Port, timeout, BoundPortHigh, BoundPortLow, BoundPort, BoundIP);
    if (Intercept) Intercept->Connect(this);
    ReportStatus(hsConnected, Host);
    DoOnConnected();
}

std::string TIdTCPClient::ConnectAndGetAll() {
    Connect(-1);
    const auto disconnect = ScopeExit([this] { Disconnect(); });
    return ReadAllUntilClose();
}
