#pragma once
// The connect to a host of several addresses, raced as RFC 8305 (Happy
// Eyeballs v2) says: the first address is tried; when it has not connected
// after AttemptDelay the next one is started while the first goes on, and so
// on; a failed attempt starts the next at once. The first to connect wins
// and every other attempt is closed. Every attempt is a non-blocking connect
// waited for in one poll on the calling thread, with the cancel descriptor
// and the time-out, so the whole race ends when either says so and no thread
// is ever left holding a socket.
//
// When every attempt fails, the failure reported is the one that says most
// about the peer: a refusal, a reset or the system's own time-out (the peer
// or the path answered) over an unreachable network or host (a router
// answered) over a failure of this machine (no such family, a bind that
// failed); of equals, the first. So two families that both refuse report one
// refusal, and a host whose IPv6 is unreachable reports its IPv4 refusal.

#include "net/IdSocketHandle.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIdConnectRace {
  public:
    // RFC 8305's recommended connection attempt delay.
    static constexpr int AttemptDelay = 250;

    // addresses in the order to try them (ResolveToAddresses gives it).
    TIdConnectRace(std::vector<std::string> addresses, int port);
    ~TIdConnectRace();
    TIdConnectRace(const TIdConnectRace&) = delete;
    TIdConnectRace& operator=(const TIdConnectRace&) = delete;

    // Where every attempt binds: the client's bound address and ports.
    std::string BoundIP;
    int BoundPort = 0;
    int BoundPortMin = 0;
    int BoundPortMax = 0;
    bool NoDelay = false;
    // Told of each attempt as it starts, on the calling thread.
    std::function<void(const std::string& address)> OnAttempt;

    // Races until one attempt connects and hands its socket to winner.
    // timeout in ms (<= 0: none but the system's own for each attempt);
    // cancelFd (-1: none) readable ends it with EIdCancelled; the time-out
    // with EIdConnectTimeout. When every attempt fails, the failure chosen
    // above: EIdConnectException with its text when timed, else
    // EIdSocketError (or the bind's own exception).
    void Run(TIdSocketHandle& winner, int timeout, int cancelFd, bool timed);
    // The address that won, as it was given.
    const std::string& WinnerAddress() const { return FWinnerAddress; }
    int AttemptsStarted() const { return static_cast<int>(FNext); }

  private:
    using Clock = std::chrono::steady_clock;
    struct TAttempt {
        std::unique_ptr<TIdSocketHandle> Socket;
        std::string Address;
    };

    void StartNext();
    // Waits for the attempts under way, the next start, the time-out or the cancel.
    void WaitForAttempts(Clock::time_point deadline, int cancelFd);
    // How an attempt that the wait found over ended.
    void Settle(TAttempt attempt);
    void Won(TAttempt attempt);
    void Failed(std::exception_ptr failure, int rank);
    void FailedWithError(int errorNumber);

    std::vector<std::string> FAddresses;
    int FPort;
    bool FTimed = false;
    size_t FNext = 0;
    Clock::time_point FNextStart;
    std::vector<TAttempt> FAttempts;
    std::unique_ptr<TIdSocketHandle> FWinner;
    std::string FWinnerAddress;
    std::exception_ptr FFailure;
    int FFailureRank = -1;
};
