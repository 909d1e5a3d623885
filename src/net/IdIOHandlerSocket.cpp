#include "net/IdIOHandlerSocket.h"

#include "net/IdCancelSignal.h"
#include "net/IdConnectRace.h"
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
    FBinding->CloseSocket();
    const bool timed = timeout != -1 && timeout != 0;
    if (!TIdStack::IsAddressLiteral(host)) ReportStatus(hsResolving, host);
    TIdConnectRace race(GStack().ResolveToAddresses(host, CancelSignal, timeout > 0 ? timeout : 0), port);
    race.BoundIP = boundIP;
    race.BoundPort = boundPort;
    race.BoundPortMin = boundPortMin;
    race.BoundPortMax = boundPortMax;
    race.NoDelay = !UseNagle;
    std::string reported;
    race.OnAttempt = [this, &reported](const std::string& address) {
        ReportStatus(hsConnecting, address);
        reported = address;
    };
    race.Run(*FBinding, timeout > 0 ? timeout : 0, CancelSignal ? CancelSignal->Fd() : -1, timed);
    // The last address named before "Connected." is always the one that won,
    // even when an earlier attempt overtook a later one.
    if (race.WinnerAddress() != reported) ReportStatus(hsConnecting, race.WinnerAddress());
}
