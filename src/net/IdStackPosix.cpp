#include "net/IdStackPosix.h"

#include "net/IdException.h"
#include "net/IdResolver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Per thread, like WSAGetLastError: the timed connect fails on its own thread.
thread_local int LastPlatformError = 0;

struct TErrnoName {
    int Errno;
    int Winsock;
};

// By name: the Linux errno values differ from the BSD ones Winsock counts from.
constexpr TErrnoName ErrnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
    {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
    {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},        {EISCONN, 10056},
    {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
};

struct TErrorText {
    int Number;
    const char* Text;
};

constexpr TErrorText ErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

int Fail(int errnoValue) {
    LastPlatformError = WSErrorFromErrno(errnoValue);
    return Id_SOCKET_ERROR;
}

int FailWith(int errorNumber) {
    LastPlatformError = errorNumber;
    return Id_SOCKET_ERROR;
}

int NativeFamily(int family) {
    return family == Id_PF_INET6 ? AF_INET6 : family == Id_PF_INET ? AF_INET : -1;
}

// The zone of "fe80::1%eth0" or "fe80::1%2": an interface name or number.
bool ReadZone(const std::string& zone, uint32_t& index) {
    if (zone.empty()) return true;
    if (zone.find_first_not_of("0123456789") == std::string::npos && zone.size() < 10) {
        index = static_cast<uint32_t>(std::stoul(zone));
        return true;
    }
    index = ::if_nametoindex(zone.c_str());
    return index != 0;
}

bool MakeAddress6(const std::string& ip, int port, sockaddr_in6& address) {
    address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    if (ip.empty()) return true; // any address
    if (!TIdStack::IsIPv6Address(ip)) return false;
    const std::string text = ip.front() == '[' ? ip.substr(1, ip.size() - 2) : ip;
    const size_t percent = text.find('%');
    if (::inet_pton(AF_INET6, text.substr(0, percent).c_str(), &address.sin6_addr) != 1) return false;
    return percent == std::string::npos || ReadZone(text.substr(percent + 1), address.sin6_scope_id);
}

// An address of the family asked for; false for a port out of range or a
// text of the other family (the caller reports 10022 or 10047).
bool MakeAddress(int family, const std::string& ip, int port, sockaddr_storage& storage, socklen_t& length) {
    if (port < 0 || port > 65535) return false;
    storage = {};
    if (family == Id_PF_INET6) {
        length = sizeof(sockaddr_in6);
        return MakeAddress6(ip, port, reinterpret_cast<sockaddr_in6&>(storage));
    }
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    length = sizeof(sockaddr_in);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!ip.empty()) {
        if (TIdStack::IsIPv6Address(ip)) return false;
        TIdInAddr bytes = TIdStack::TextToAddress(ip);
        std::memcpy(&address.sin_addr, bytes.data(), 4);
    }
    return true;
}

// 10047 for a text of the other family, 10022 for anything else wrong.
int BadAddress(int family, const std::string& ip) {
    const bool otherFamily = family == Id_PF_INET6 ? TIdStack::IsDottedQuad(ip) : TIdStack::IsIPv6Address(ip);
    return FailWith(otherFamily ? Id_WSAEAFNOSUPPORT : 10022);
}

void ReadAddress(const sockaddr_storage& storage, int& family, std::string& ip, int& port) {
    family = storage.ss_family == AF_INET6 ? Id_PF_INET6 : Id_PF_INET;
    ip = SocketAddressText(reinterpret_cast<const sockaddr*>(&storage));
    port = storage.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

// poll, restarted after a signal with what is left of the time-out.
int PollRestarting(pollfd* fds, nfds_t count, int timeout) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
    for (;;) {
        int n = ::poll(fds, count, timeout);
        if (n >= 0 || errno != EINTR) return n;
        if (timeout > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

void SetBlocking(int socket, bool blocking) {
    int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags < 0) return;
    ::fcntl(socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// Waits for a connect that a signal interrupted; it goes on in the background.
int FinishConnect(int socket) {
    pollfd fds[1] = {{socket, POLLOUT, 0}};
    if (PollRestarting(fds, 1, -1) < 0) return Fail(errno);
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Fail(errno);
    if (error != 0) return Fail(error);
    return 0;
}

} // namespace

int WSErrorFromErrno(int errnoValue) {
    for (const auto& entry : ErrnoTable)
        if (entry.Errno == errnoValue) return entry.Winsock;
    // Linux and BSD agree on the classic numbers below 35; above them a plain
    // 10000 + errno would land on an unrelated Winsock name.
    return errnoValue < 35 ? 10000 + errnoValue : 20000 + errnoValue;
}

int WSErrorFromResolver(int eaiCode, int errnoValue) {
    switch (eaiCode) {
    case EAI_NONAME:
        return Id_WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return Id_WSATRY_AGAIN;
    case EAI_FAIL:
        return Id_WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return Id_WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return Id_WSANO_DATA;
#endif
    case EAI_MEMORY:
        return 10055;
    case EAI_SYSTEM:
        return WSErrorFromErrno(errnoValue);
    default:
        return Id_WSANO_RECOVERY;
    }
}

std::string SocketAddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = "";
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        // Link-local addresses mean nothing without their interface.
        if (v6->sin6_scope_id != 0) return std::string(text) + "%" + std::to_string(v6->sin6_scope_id);
        return text;
    }
    TIdInAddr bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    return TIdStack::AddressToText(bytes);
}

std::string WSErrorDescription(int errorNumber) {
    for (const auto& entry : ErrorTexts)
        if (entry.Number == errorNumber) return entry.Text;
    return {};
}

void TIdStackPosix::SetLastError(int errorNumber) {
    LastPlatformError = errorNumber;
}

int TIdStackPosix::WSGetLastError() {
    return LastPlatformError;
}

TIdStackSocketHandle TIdStackPosix::CreateSocketHandle(int family, int type, int protocol) {
    const int nativeFamily = NativeFamily(family);
    if (nativeFamily < 0) return FailWith(Id_WSAEAFNOSUPPORT);
    int nativeType = type == Id_SOCK_STREAM ? SOCK_STREAM : type;
    int handle = ::socket(nativeFamily, nativeType | SOCK_CLOEXEC, protocol);
    return handle < 0 ? Fail(errno) : handle;
}

int TIdStackPosix::WSBind(TIdStackSocketHandle socket, int family, const std::string& ip, int port) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (NativeFamily(family) < 0) return FailWith(Id_WSAEAFNOSUPPORT);
    if (!MakeAddress(family, ip, port, address, length)) return BadAddress(family, ip);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0) return Fail(errno);
    return 0;
}

int TIdStackPosix::WSConnect(TIdStackSocketHandle socket, int family, const std::string& ip, int port) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (NativeFamily(family) < 0) return FailWith(Id_WSAEAFNOSUPPORT);
    if (!MakeAddress(family, ip, port, address, length)) return BadAddress(family, ip);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), length) == 0) return 0;
    // A signal does not stop the connect; it goes on in the background.
    if (errno == EINTR) return FinishConnect(socket);
    return Fail(errno);
}

int TIdStackPosix::WSConnectStart(TIdStackSocketHandle socket, int family, const std::string& ip, int port) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (NativeFamily(family) < 0) return FailWith(Id_WSAEAFNOSUPPORT);
    if (!MakeAddress(family, ip, port, address, length)) return BadAddress(family, ip);
    SetBlocking(socket, false);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        SetBlocking(socket, true);
        return 0;
    }
    // Interrupted, the connect goes on in the background just the same.
    if (errno == EINPROGRESS || errno == EINTR) return 1;
    return Fail(errno);
}

int TIdStackPosix::WSConnectResult(TIdStackSocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Fail(errno);
    if (error != 0) return Fail(error);
    SetBlocking(socket, true);
    return 0;
}

int TIdStackPosix::WSSend(TIdStackSocketHandle socket, const void* buffer, int length, int flags) {
    for (;;) {
        ssize_t n = ::send(socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Fail(errno);
    }
}

int TIdStackPosix::WSRecv(TIdStackSocketHandle socket, void* buffer, int length, int flags) {
    for (;;) {
        const int nativeFlags = (flags & Id_MSG_DONTWAIT) ? MSG_DONTWAIT : 0;
        ssize_t n = ::recv(socket, buffer, static_cast<size_t>(length), nativeFlags);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Fail(errno);
    }
}

int TIdStackPosix::WSShutdown(TIdStackSocketHandle socket, int how) {
    int nativeHow = how == 0 ? SHUT_RD : how == Id_SD_Send ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(socket, nativeHow) == 0 ? 0 : Fail(errno);
}

int TIdStackPosix::WSCloseSocket(TIdStackSocketHandle socket) {
    // Linux closes the descriptor even when close reports EINTR; never retry.
    return ::close(socket) == 0 ? 0 : Fail(errno);
}

int TIdStackPosix::WSSetSockOpt(TIdStackSocketHandle socket, int level, int option, const void* value,
                                int length) {
    int nativeLevel = level == Id_IPPROTO_TCP ? IPPROTO_TCP : level;
    int nativeOption = (level == Id_IPPROTO_TCP && option == Id_TCP_NODELAY) ? TCP_NODELAY : option;
    if (::setsockopt(socket, nativeLevel, nativeOption, value, static_cast<socklen_t>(length)) != 0)
        return Fail(errno);
    return 0;
}

int TIdStackPosix::WSSelectRead(TIdStackSocketHandle socket, int timeout, int cancelFd) {
    // poll rather than select: a descriptor above FD_SETSIZE must not overrun an fd_set.
    pollfd fds[2] = {{socket, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    int n = PollRestarting(fds, cancelFd >= 0 ? 2 : 1, timeout < 0 ? -1 : timeout);
    if (n < 0) return Fail(errno);
    if (cancelFd >= 0 && (fds[1].revents & POLLIN)) return 2;
    if (n > 0 && (fds[0].revents & POLLNVAL)) return FailWith(10038);
    return n > 0 ? 1 : 0;
}

void TIdStackPosix::WSGetSockName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    int result = ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : Fail(errno);
    CheckSocketResult(result);
    ReadAddress(address, family, ip, port);
}

void TIdStackPosix::WSGetPeerName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    int result = ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : Fail(errno);
    CheckSocketResult(result);
    ReadAddress(address, family, ip, port);
}

std::vector<std::string> TIdStackPosix::LookupHostAddresses(const std::string& host,
                                                            const TIdCancelSignal* cancel, int timeout) {
    // A NUL inside the name would silently look up only the part before it.
    if (host.find('\0') != std::string::npos) CheckSocketResult(FailWith(Id_WSAHOST_NOT_FOUND));
    const TIdLookupAnswer answer = LookupHost(host, cancel, timeout);
    if (answer.Code != 0 || answer.Addresses.empty())
        CheckSocketResult(
            FailWith(answer.Code != 0 ? WSErrorFromResolver(answer.Code, answer.Errno) : Id_WSANO_DATA));
    return InterleaveFamilies(answer.Addresses);
}
