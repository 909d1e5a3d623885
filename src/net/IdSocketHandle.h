#pragma once
// One socket with its local and peer end.

#include "net/IdStack.h"

#include <atomic>
#include <string>

class TIdSocketHandle {
  public:
    TIdSocketHandle();
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Closes any socket held, then creates one of family; EIdInvalidSocket when that fails.
    void AllocateSocket(int socketType = Id_SOCK_STREAM, int protocol = Id_IPPROTO_IP,
                        int family = Id_PF_INET);
    // Binds to (IP, Port) or within ClientPortMin..ClientPortMax, then re-reads the local end.
    void Bind();
    // Connects to (PeerIP, PeerPort); the platform result unchanged, -1 on
    // failure. family 0: the socket's own.
    int Connect(int family = 0);
    // The same connect without waiting (0 connected, 1 under way, -1 failed),
    // and how one under way ended (0 or -1); both re-read the ends once connected.
    int ConnectStart();
    int ConnectResult();
    // Takes other's socket and both its ends; other is left reset.
    void TakeOver(TIdSocketHandle& other);
    void SetPeer(const std::string& ip, int port);
    int Recv(void* buffer, int length);
    // The same without waiting: IdNothingReady when nothing has arrived yet.
    int RecvIfReady(void* buffer, int length);
    int Send(const void* buffer, int length);
    // Timeout in ms, -2 without limit, 0 polls. EIdConnClosedGracefully without
    // a socket, EIdCancelled when cancelFd (when not -1) becomes readable first.
    bool WaitReadable(int timeout, int cancelFd = -1);
    // Raises through CheckSocketResult when the platform refuses the option.
    void SetSockOpt(int level, int option, const void* value, int length);
    // Shuts the sending side down and closes; only the first call does anything.
    void CloseSocket();
    void Reset(bool resetLocal = true);
    void UpdateBindingLocal();
    void UpdateBindingPeer();

    TIdStackSocketHandle Handle() const { return FHandle.load(); }
    bool HandleAllocated() const { return FHandleAllocated.load(); }

    std::string IP;
    std::string PeerIP;
    int Port = 0;
    int PeerPort = 0;
    int ClientPortMin = 0;
    int ClientPortMax = 0;
    // The family of the socket held (Id_PF_INET or Id_PF_INET6).
    int Family = Id_PF_INET;

  private:
    int TryBind(int port);
    void BindInRange();

    // Atomic because the timed connect reads them on its thread while the
    // calling thread may close the socket to abandon it.
    std::atomic<TIdStackSocketHandle> FHandle{Id_INVALID_SOCKET};
    std::atomic<bool> FHandleAllocated{false};
};
