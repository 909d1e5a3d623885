#include "net/IdIOHandlerSocket.h"

#include "net/IdCancelSignal.h"
#include "net/IdConnectThread.h"
#include "net/IdException.h"
#include "net/IdStack.h"

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
    CloseHandler();
}

void TIdIOHandlerSocket::OpenHandler() {
    if (!FBinding)
        FBinding = std::make_unique<TIdSocketHandle>();
    else
        FBinding->Reset(true);
}

void TIdIOHandlerSocket::CloseHandler() {
    if (FBinding) FBinding->CloseSocket();
}

bool TIdIOHandlerSocket::IsOpen() {
    return FBinding && FBinding->HandleAllocated();
}

bool TIdIOHandlerSocket::WaitReadable(int timeout) {
    if (!FBinding) throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
    return FBinding->WaitReadable(timeout, CancelSignal ? CancelSignal->Fd() : -1);
}

int TIdIOHandlerSocket::ReceiveRaw(void* buffer, int length) {
    if (!IsOpen()) throw EIdClosedSocket(RSClosedSocket);
    return FBinding->Recv(buffer, length);
}

int TIdIOHandlerSocket::ReceiveIfReady(void* buffer, int length) {
    if (!IsOpen()) throw EIdClosedSocket(RSClosedSocket);
    return FBinding->RecvIfReady(buffer, length);
}

int TIdIOHandlerSocket::SendRaw(const void* buffer, int length) {
    if (!IsOpen()) throw EIdClosedSocket(RSClosedSocket);
    return FBinding->Send(buffer, length);
}

TIdSocksInfo& TIdIOHandlerSocket::SocksInfo() {
    if (!FSocksInfo) {
        FOwnSocksInfo = std::make_unique<TIdSocksInfo>();
        FSocksInfo = FOwnSocksInfo.get();
    }
    return *FSocksInfo;
}

void TIdIOHandlerSocket::ConnectTo(const std::string& host, int port, int timeout, int boundPortMax,
                                   int boundPortMin, int boundPort, const std::string& boundIP) {
    // Connecting to the SOCKS server without speaking SOCKS to it would send
    // the request to the wrong peer, and connecting straight to the host would
    // quietly bypass a proxy the caller asked for.
    if (FSocksInfo && FSocksInfo->Version != svNoSocks)
        throw EIdSocksError("SOCKS proxies are not supported: set the SOCKS version to none.");
    if (!FBinding) OpenHandler();
    FBinding->AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    FBinding->IP = boundIP;
    FBinding->Port = boundPort;
    FBinding->ClientPortMin = boundPortMin;
    FBinding->ClientPortMax = boundPortMax;
    FBinding->Bind();
    if (!TIdStack::IsDottedQuad(host)) ReportStatus(hsResolving, host);
    FBinding->SetPeer(GStack().ResolveToAddress(host, CancelSignal), port);
    if (!UseNagle) {
        int32_t on = 1;
        FBinding->SetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, &on, sizeof(on));
    }
    ReportStatus(hsConnecting, FBinding->PeerIP);
    if (timeout != -1 && timeout != 0)
        TimedConnect(timeout);
    else
        GStack().CheckSocketResult(FBinding->Connect(Id_PF_INET));
}

void TIdIOHandlerSocket::TimedConnect(int timeout) {
    constexpr int step = 125;
    TIdConnectThread thread(*FBinding);
    thread.Start();
    const bool unlimited = timeout == IdTimeoutInfinite;
    int remaining = unlimited ? step + 1 : timeout;
    // Each step ends early when the connect is over: a connect that succeeds
    // at once must not cost a whole step.
    const auto cancelled = [this] { return CancelSignal && CancelSignal->Cancelled(); };
    while (remaining > step && !cancelled()) {
        if (thread.WaitTerminated(step))
            remaining = 0;
        else if (!unlimited)
            remaining -= step;
    }
    if (remaining > 0 && !cancelled()) thread.WaitTerminated(remaining);
    if (!thread.Terminated() && cancelled()) {
        thread.Terminate();
        thread.WaitFor();
        CloseHandler();
        throw EIdCancelled(RSCancelled);
    }
    if (!thread.Terminated()) {
        // The thread lets go of the socket before it is closed, so its number
        // cannot be reused under a connect still pending.
        thread.Terminate();
        thread.WaitFor();
        CloseHandler();
        throw EIdConnectTimeout(RSConnectTimeout);
    }
    thread.WaitFor();
    if (!thread.ErrorMessage().empty()) throw EIdConnectException(thread.ErrorMessage());
}
