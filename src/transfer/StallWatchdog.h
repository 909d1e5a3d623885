#pragma once
// --min-speed: a transfer that trickles is given up. The client hands the
// body over in pieces and blocks in between, so a trickle may never reach the
// stream it writes to: a watchdog thread looks at every watched transfer a few
// times a second and shuts down the socket of one that stayed below
// --min-speed for --min-speed-time, which ends its blocked read.

#include "core/Exceptions.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

// A transfer stayed below --min-speed for --min-speed-time: it fails and is
// retried as a broken connection is.
QUILLORA_EXCEPTION(EGetTooSlow, Exception);

// Whether one transfer trickles, judged on its own clock: the time it has
// been open less the time the rate limit held it back (the watchdog judges
// the server, and a worker paced to its share of --limit-rate is not slow).
// Not locked: its owner is.
class TStallClock {
  public:
    using TClock = std::chrono::steady_clock;
    TStallClock(double minSpeed, double windowSeconds, TClock::time_point start);

    void Received(int64_t bytes) { FTotal += bytes; }
    // The rate limit holds the transfer from now on; Release: no longer.
    void Hold(TClock::time_point now);
    void Release(TClock::time_point now);
    // True when the transfer has run for a whole window and received less
    // than the minimum over the last one, both counted on its own clock.
    bool Slow(TClock::time_point now);
    // Bytes a second over the last window, as last judged.
    double Speed() const { return FSpeed; }

  private:
    TClock::time_point OwnTime(TClock::time_point now) const;

    double FMinSpeed;
    TClock::duration FWindow;
    int64_t FTotal = 0;
    // (own time, bytes received by then), a sample every tenth of a second at most.
    std::deque<std::pair<TClock::time_point, int64_t>> FSamples;
    double FSpeed = 0;
    TClock::duration FHeld{};
    bool FHolding = false;
    TClock::time_point FHoldStart;
};

// One transfer under the watchdog's eye, from Attach on (with --min-speed).
class TStallWatch {
  public:
    TStallWatch(double minSpeed, double minSpeedSeconds);
    ~TStallWatch();
    TStallWatch(const TStallWatch&) = delete;
    TStallWatch& operator=(const TStallWatch&) = delete;

    // Watches the transfer on this socket from now on.
    void Attach(int socket);
    void Received(int64_t bytes);
    // The clock stands still while the rate limit holds the transfer.
    void Hold(bool holding);
    // The watchdog cut the transfer; the text says why.
    bool TooSlow() const;
    std::string TooSlowMessage() const;

    struct TState;

  private:
    double FMinSpeed, FWindow;
    std::shared_ptr<TState> FState;
};

// The piece size for a client whose transfers must keep --min-speed: small
// enough that a transfer just above the speed shows progress well within
// --min-speed-time.
int PieceSizeFor(double minSpeed, double minSpeedSeconds);
