#pragma once
// The process-wide socket layer: stream sockets of either IP family, host-name
// resolution and socket error texts, every error number in the Winsock
// numbering. Addresses travel as texts: dotted quads, and IPv6 addresses in
// their RFC 5952 form ("::1", "2001:db8::1", a zone as "fe80::1%2").

#include <array>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

class TIdCancelSignal;

using TIdStackSocketHandle = int;

inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
inline constexpr int Id_SOCKET_ERROR = -1;
inline constexpr int Id_PF_INET = 2;
// Winsock's number for it, not Linux's 10: the stack maps both.
inline constexpr int Id_PF_INET6 = 23;
inline constexpr int Id_SOCK_STREAM = 1;
inline constexpr int Id_IPPROTO_IP = 0;
inline constexpr int Id_IPPROTO_TCP = 6;
inline constexpr int Id_TCP_NODELAY = 1;
inline constexpr int Id_SD_Send = 1;
// Receive flag: return at once with Id_WSAEWOULDBLOCK when nothing has arrived.
inline constexpr int Id_MSG_DONTWAIT = 0x40;
// A receive without waiting that found nothing yet (not a socket error).
inline constexpr int IdNothingReady = -2;
// Readiness waits: -2 waits without limit.
inline constexpr int IdTimeoutInfinite = -2;
inline constexpr int IdTimeoutDefault = -1;

// The Winsock numbers the logic above the stack tests for.
inline constexpr int Id_WSAEINTR = 10004;
inline constexpr int Id_WSAEBADF = 10009;
inline constexpr int Id_WSAEWOULDBLOCK = 10035;
inline constexpr int Id_WSAEINPROGRESS = 10036;
inline constexpr int Id_WSAENOTSOCK = 10038;
inline constexpr int Id_WSAEAFNOSUPPORT = 10047;
inline constexpr int Id_WSAEADDRINUSE = 10048;
inline constexpr int Id_WSAENETUNREACH = 10051;
inline constexpr int Id_WSAECONNABORTED = 10053;
inline constexpr int Id_WSAECONNRESET = 10054;
inline constexpr int Id_WSAESHUTDOWN = 10058;
inline constexpr int Id_WSAETIMEDOUT = 10060;
inline constexpr int Id_WSAECONNREFUSED = 10061;
inline constexpr int Id_WSAEHOSTDOWN = 10064;
inline constexpr int Id_WSAEHOSTUNREACH = 10065;
inline constexpr int Id_WSAHOST_NOT_FOUND = 11001;
inline constexpr int Id_WSATRY_AGAIN = 11002;
inline constexpr int Id_WSANO_RECOVERY = 11003;
inline constexpr int Id_WSANO_DATA = 11004;

using TIdInAddr = std::array<uint8_t, 4>;

class TIdStack {
  public:
    TIdStack() = default;
    virtual ~TIdStack() = default;
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // The error number recorded by the calling thread's last failing
    // CheckSocketResult: every connection's thread has its own.
    static int LastError();
    static void SetLastError(int errorNumber);

    // The first address ResolveToAddresses gives.
    std::string ResolveToAddress(const std::string& host, const TIdCancelSignal* cancel = nullptr);
    // Every address of host in the order to try them: localhost is 127.0.0.1
    // and a literal is itself (an IPv6 one without its brackets), without a
    // lookup; a name is looked up. A lookup that cancel (when given) cuts
    // short raises EIdCancelled; timeout bounds only the wait for a lookup
    // thread (see LookupHost).
    std::vector<std::string> ResolveToAddresses(const std::string& host,
                                                const TIdCancelSignal* cancel = nullptr, int timeout = 0);
    static bool IsDottedQuad(const std::string& text);
    // An IPv6 address, bare or in brackets, with or without a zone.
    static bool IsIPv6Address(const std::string& text);
    // Either kind of literal address: nothing to look up.
    static bool IsAddressLiteral(const std::string& text) {
        return IsDottedQuad(text) || IsIPv6Address(text);
    }
    // Id_PF_INET6 for an IPv6 address text, Id_PF_INET for anything else.
    static int AddressFamily(const std::string& address);
    // "127.0.0.1:80", "[::1]:80": an IPv6 address takes brackets where a port follows.
    static std::string AddressWithPort(const std::string& address, int port);
    static std::string AddressToText(const TIdInAddr& address);
    // EConvertError for a part that is not a whole number; each part is cut to 8 bits.
    static TIdInAddr TextToAddress(const std::string& text);

    // False when result is not -1; else records the platform error and answers
    // true when it is allowed, raising EIdSocketError for any other.
    bool CheckSocketResult(int result, std::initializer_list<int> allowed = {});
    [[noreturn]] void RaiseSocketError(int errorNumber);
    virtual std::string SocketErrorText(int errorNumber);

    // Thin platform calls: the platform's result unchanged, -1 on failure with
    // the error number kept for WSGetLastError.
    virtual int WSGetLastError() = 0;
    virtual TIdStackSocketHandle CreateSocketHandle(int family, int type, int protocol) = 0;
    virtual int WSBind(TIdStackSocketHandle socket, int family, const std::string& ip, int port) = 0;
    virtual int WSConnect(TIdStackSocketHandle socket, int family, const std::string& ip, int port) = 0;
    virtual int WSSend(TIdStackSocketHandle socket, const void* buffer, int length, int flags) = 0;
    virtual int WSRecv(TIdStackSocketHandle socket, void* buffer, int length, int flags) = 0;
    virtual int WSShutdown(TIdStackSocketHandle socket, int how) = 0;
    virtual int WSCloseSocket(TIdStackSocketHandle socket) = 0;
    virtual int WSSetSockOpt(TIdStackSocketHandle socket, int level, int option, const void* value,
                             int length) = 0;
    // 1 when the socket became readable, 0 on time-out, -1 on failure, 2 when
    // cancelFd (when not -1) became readable first.
    virtual int WSSelectRead(TIdStackSocketHandle socket, int timeout, int cancelFd = -1) = 0;
    // Raise through CheckSocketResult when the platform call fails.
    virtual void WSGetSockName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) = 0;
    virtual void WSGetPeerName(TIdStackSocketHandle socket, int& family, std::string& ip, int& port) = 0;
    // Every address found, families interleaved. Raises EIdSocketError
    // (11001 for an unknown host) when the lookup fails, EIdCancelled when
    // cancel (when not null) fired first.
    virtual std::vector<std::string> LookupHostAddresses(const std::string& host,
                                                         const TIdCancelSignal* cancel, int timeout) = 0;
    // The first of them.
    std::string LookupHostAddress(const std::string& host, const TIdCancelSignal* cancel) {
        return LookupHostAddresses(host, cancel, 0).front();
    }

    // A connect that does not wait: 0 when connected at once, 1 when under
    // way (the socket becomes writable when it is over), -1 on failure. The
    // socket is left non-blocking until WSConnectResult.
    virtual int WSConnectStart(TIdStackSocketHandle socket, int family, const std::string& ip, int port) = 0;
    // How a connect under way ended (0 or -1), the socket blocking again.
    virtual int WSConnectResult(TIdStackSocketHandle socket) = 0;
};

// The one stack object; valid while at least one transport component lives.
TIdStack& GStack();
// Taken by every transport component's constructor, given back by its destructor.
void AcquireStack();
void ReleaseStack();
// The platform socket library was started in this process (never reset; the
// BSD calls need no start-up, so here it only records the first stack object).
bool StackStarted();
// For tests: whether the stack object exists now, and how often it was created.
bool StackInstanceExists();
int StackCreationCount();
