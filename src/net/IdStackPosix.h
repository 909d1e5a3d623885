#pragma once
// The stack on the BSD socket calls. Error numbers are translated from errno
// and from the resolver into the Winsock numbering the layers above expect.

#include "net/IdStack.h"

struct sockaddr;

// errno -> Winsock number (EPIPE reports 10054, "Connection reset by peer.").
int WSErrorFromErrno(int errnoValue);
// getaddrinfo failure -> 11001..11004 (EAI_SYSTEM goes through errno).
int WSErrorFromResolver(int eaiCode, int errnoValue);
// The text of an IPv4 or IPv6 socket address, without its port.
std::string SocketAddressText(const sockaddr* address);
// The text of a Winsock number without the "Socket Error # " frame ("" when unknown).
std::string WSErrorDescription(int errorNumber);

class TIdStackPosix : public TIdStack {
  public:
    int WSGetLastError() override;
    TIdStackSocketHandle CreateSocketHandle(int family, int type, int protocol) override;
    int WSBind(TIdStackSocketHandle socket, int family, const std::string& ip, int port) override;
    int WSConnect(TIdStackSocketHandle socket, int family, const std::string& ip, int port) override;
    int WSSend(TIdStackSocketHandle socket, const void* buffer, int length, int flags) override;
    int WSRecv(TIdStackSocketHandle socket, void* buffer, int length, int flags) override;
    int WSShutdown(TIdStackSocketHandle socket, int how) override;
    int WSCloseSocket(TIdStackSocketHandle socket) override;
    int WSSetSockOpt(TIdStackSocketHandle socket, int level, int option, const void* value,
                     int length) override;
    int WSSelectRead(TIdStackSocketHandle socket, int timeout, int cancelFd = -1) override;
    void WSGetSockName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) override;
    void WSGetPeerName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) override;
    std::vector<std::string> LookupHostAddresses(const std::string& host, const TIdCancelSignal* cancel,
                                                 int timeout) override;
    int WSConnectStart(TIdStackSocketHandle socket, int family, const std::string& ip, int port) override;
    int WSConnectResult(TIdStackSocketHandle socket) override;

    // The calling thread's last error, as WSASetLastError would set it.
    static void SetLastError(int errorNumber);
};
