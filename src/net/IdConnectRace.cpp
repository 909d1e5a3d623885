#include "net/IdConnectRace.h"

#include "core/Exceptions.h"
#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdStackPosix.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace {

// How much a failure says about the peer; see the header.
int Rank(int errorNumber) {
    switch (errorNumber) {
    case Id_WSAECONNREFUSED:
    case Id_WSAECONNRESET:
    case Id_WSAETIMEDOUT:
    case Id_WSAECONNABORTED:
        return 3;
    case Id_WSAENETUNREACH:
    case Id_WSAEHOSTUNREACH:
    case Id_WSAEHOSTDOWN:
        return 2;
    default:
        return 1;
    }
}

int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - std::chrono::steady_clock::now())
            .count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

} // namespace

TIdConnectRace::TIdConnectRace(std::vector<std::string> addresses, int port)
    : FAddresses(std::move(addresses)), FPort(port) {}

// The attempts still held close with their handles.
TIdConnectRace::~TIdConnectRace() = default;

void TIdConnectRace::Run(TIdSocketHandle& winner, int timeout, int cancelFd, bool timed) {
    FTimed = timed;
    const Clock::time_point deadline =
        timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout) : Clock::time_point::max();
    if (FAddresses.empty()) GStack().RaiseSocketError(Id_WSANO_DATA);
    FNextStart = Clock::now();
    while (!FWinner) {
        const Clock::time_point now = Clock::now();
        const bool more = FNext < FAddresses.size();
        if (more && (FAttempts.empty() || (now >= FNextStart && now < deadline))) {
            StartNext();
            continue;
        }
        if (FAttempts.empty()) std::rethrow_exception(FFailure);
        if (now >= deadline) throw EIdConnectTimeout(RSConnectTimeout);
        WaitForAttempts(deadline, cancelFd);
    }
    FAttempts.clear(); // the losers, closed
    winner.TakeOver(*FWinner);
}

void TIdConnectRace::StartNext() {
    const std::string address = FAddresses[FNext++];
    // A failure of this one starts the next at once; a connect under way gives it the delay.
    FNextStart = Clock::now();
    if (OnAttempt) OnAttempt(address);
    TAttempt attempt{std::make_unique<TIdSocketHandle>(), address};
    TIdSocketHandle& socket = *attempt.Socket;
    int result = Id_SOCKET_ERROR;
    try {
        socket.AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, TIdStack::AddressFamily(address));
        socket.IP = BoundIP;
        socket.Port = BoundPort;
        socket.ClientPortMin = BoundPortMin;
        socket.ClientPortMax = BoundPortMax;
        socket.Bind();
        if (NoDelay) {
            int32_t on = 1;
            socket.SetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, &on, sizeof(on));
        }
        socket.SetPeer(address, FPort);
        result = socket.ConnectStart();
    } catch (const Exception&) {
        Failed(std::current_exception(), 1);
        return;
    }
    if (result == 0) return Won(std::move(attempt));
    if (result == Id_SOCKET_ERROR) return FailedWithError(GStack().WSGetLastError());
    FAttempts.push_back(std::move(attempt));
    FNextStart = Clock::now() + std::chrono::milliseconds(AttemptDelay);
}

void TIdConnectRace::WaitForAttempts(Clock::time_point deadline, int cancelFd) {
    std::vector<pollfd> fds;
    for (const TAttempt& attempt : FAttempts)
        fds.push_back({attempt.Socket->Handle(), POLLOUT, 0});
    if (cancelFd >= 0) fds.push_back({cancelFd, POLLIN, 0});
    const bool more = FNext < FAddresses.size();
    int wait = deadline == Clock::time_point::max() ? -1 : MillisecondsUntil(deadline);
    if (more) wait = wait < 0 ? MillisecondsUntil(FNextStart) : std::min(wait, MillisecondsUntil(FNextStart));
    const int ready = ::poll(fds.data(), fds.size(), wait);
    if (ready < 0 && errno != EINTR) GStack().RaiseSocketError(WSErrorFromErrno(errno));
    if (cancelFd >= 0 && (fds.back().revents & POLLIN)) throw EIdCancelled(RSCancelled);
    // Oldest first: of two that connected at once, the one started first wins.
    std::vector<TAttempt> over;
    for (size_t k = 0; k < FAttempts.size(); ++k)
        if (fds[k].revents != 0) over.push_back(std::move(FAttempts[k]));
    std::erase_if(FAttempts, [](const TAttempt& attempt) { return !attempt.Socket; });
    for (TAttempt& attempt : over)
        Settle(std::move(attempt));
}

void TIdConnectRace::Settle(TAttempt attempt) {
    int result = Id_SOCKET_ERROR;
    try {
        result = attempt.Socket->ConnectResult();
    } catch (const Exception&) {
        // Connected, but the ends could not be read back: gone already.
        return Failed(std::current_exception(), 1);
    }
    if (result == 0) {
        if (!FWinner) Won(std::move(attempt));
        return;
    }
    FailedWithError(GStack().WSGetLastError());
    FNextStart = Clock::now();
}

void TIdConnectRace::Won(TAttempt attempt) {
    FWinner = std::move(attempt.Socket);
    FWinnerAddress = attempt.Address;
}

void TIdConnectRace::Failed(std::exception_ptr failure, int rank) {
    if (rank <= FFailureRank) return;
    FFailure = std::move(failure);
    FFailureRank = rank;
}

void TIdConnectRace::FailedWithError(int errorNumber) {
    const std::string text = GStack().SocketErrorText(errorNumber);
    if (Rank(errorNumber) > FFailureRank) TIdStack::SetLastError(errorNumber);
    if (FTimed)
        Failed(std::make_exception_ptr(EIdConnectException(text)), Rank(errorNumber));
    else
        Failed(std::make_exception_ptr(EIdSocketError(errorNumber, text)), Rank(errorNumber));
}
