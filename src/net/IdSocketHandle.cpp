#include "net/IdSocketHandle.h"

#include "core/Exceptions.h"
#include "net/IdException.h"

TIdSocketHandle::TIdSocketHandle() {
    Reset(true);
}

TIdSocketHandle::~TIdSocketHandle() {
    try {
        CloseSocket();
    } catch (...) {
        // Destroyed after the last component gave the stack back: nothing left to close with.
    }
}

void TIdSocketHandle::Reset(bool resetLocal) {
    // A socket still held would leak when its handle is forgotten.
    CloseSocket();
    FHandle.store(Id_INVALID_SOCKET);
    PeerIP.clear();
    PeerPort = 0;
    if (resetLocal) {
        IP.clear();
        Port = 0;
    }
}

void TIdSocketHandle::AllocateSocket(int socketType, int protocol, int family) {
    CloseSocket();
    TIdStackSocketHandle handle = GStack().CreateSocketHandle(family, socketType, protocol);
    if (handle == Id_INVALID_SOCKET) throw EIdInvalidSocket(RSCannotAllocateSocket);
    Family = family;
    FHandle.store(handle);
    FHandleAllocated.store(true);
}

int TIdSocketHandle::TryBind(int port) {
    int result = GStack().WSBind(Handle(), Family, IP, port);
    return GStack().CheckSocketResult(result, {Id_WSAEADDRINUSE}) ? Id_WSAEADDRINUSE : 0;
}

void TIdSocketHandle::BindInRange() {
    if (ClientPortMax < ClientPortMin)
        throw EIdInvalidPortRange(Format(RSInvalidPortRange, ClientPortMin, ClientPortMax));
    for (int port = ClientPortMax; port >= ClientPortMin; --port) {
        if (TryBind(port) == 0) return;
    }
    throw EIdCanNotBindPortInRange(Format(RSCannotBindRange, ClientPortMin, ClientPortMax));
}

void TIdSocketHandle::Bind() {
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        if (TryBind(Port) != 0) throw EIdCouldNotBindSocket(RSCouldNotBindSocket);
    } else {
        BindInRange();
    }
    UpdateBindingLocal();
}

int TIdSocketHandle::Connect(int family) {
    int result = GStack().WSConnect(Handle(), family == 0 ? Family : family, PeerIP, PeerPort);
    if (result != Id_SOCKET_ERROR) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return result;
}

int TIdSocketHandle::ConnectStart() {
    int result = GStack().WSConnectStart(Handle(), Family, PeerIP, PeerPort);
    if (result == 0) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return result;
}

int TIdSocketHandle::ConnectResult() {
    int result = GStack().WSConnectResult(Handle());
    if (result == 0) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return result;
}

void TIdSocketHandle::TakeOver(TIdSocketHandle& other) {
    CloseSocket();
    IP = other.IP;
    Port = other.Port;
    PeerIP = other.PeerIP;
    PeerPort = other.PeerPort;
    Family = other.Family;
    FHandle.store(other.FHandle.exchange(Id_INVALID_SOCKET));
    FHandleAllocated.store(other.FHandleAllocated.exchange(false));
    other.Reset(true);
}

void TIdSocketHandle::SetPeer(const std::string& ip, int port) {
    PeerIP = ip;
    PeerPort = port;
}

int TIdSocketHandle::Recv(void* buffer, int length) {
    return GStack().WSRecv(Handle(), buffer, length, 0);
}

int TIdSocketHandle::RecvIfReady(void* buffer, int length) {
    const int result = GStack().WSRecv(Handle(), buffer, length, Id_MSG_DONTWAIT);
    if (result == Id_SOCKET_ERROR && GStack().WSGetLastError() == Id_WSAEWOULDBLOCK) return IdNothingReady;
    return result;
}

int TIdSocketHandle::Send(const void* buffer, int length) {
    return GStack().WSSend(Handle(), buffer, length, 0);
}

bool TIdSocketHandle::WaitReadable(int timeout, int cancelFd) {
    if (!HandleAllocated()) throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
    const int result = GStack().WSSelectRead(Handle(), timeout, cancelFd);
    if (result == 2) throw EIdCancelled(RSCancelled);
    return result == 1;
}

void TIdSocketHandle::SetSockOpt(int level, int option, const void* value, int length) {
    GStack().CheckSocketResult(GStack().WSSetSockOpt(Handle(), level, option, value, length));
}

void TIdSocketHandle::CloseSocket() {
    if (!FHandleAllocated.exchange(false)) return;
    // Forget the number first: the system may hand it to the next socket opened.
    TIdStackSocketHandle handle = FHandle.exchange(Id_INVALID_SOCKET);
    GStack().WSShutdown(handle, Id_SD_Send);
    GStack().WSCloseSocket(handle);
}

void TIdSocketHandle::UpdateBindingLocal() {
    int family = 0;
    GStack().WSGetSockName(Handle(), family, IP, Port);
}

void TIdSocketHandle::UpdateBindingPeer() {
    int family = 0;
    GStack().WSGetPeerName(Handle(), family, PeerIP, PeerPort);
}
