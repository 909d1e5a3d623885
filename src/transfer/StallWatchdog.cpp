#include "transfer/StallWatchdog.h"

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using TClock = TStallClock::TClock;

TStallClock::TStallClock(double minSpeed, double windowSeconds, TClock::time_point start)
    : FMinSpeed(minSpeed),
      FWindow(std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(windowSeconds))) {
    FSamples.emplace_back(start, 0);
}

void TStallClock::Hold(TClock::time_point now) {
    FHoldStart = now;
    FHolding = true;
}

void TStallClock::Release(TClock::time_point now) {
    if (FHolding) FHeld += now - FHoldStart;
    FHolding = false;
}

TClock::time_point TStallClock::OwnTime(TClock::time_point now) const {
    return now - FHeld - (FHolding ? now - FHoldStart : TClock::duration::zero());
}

bool TStallClock::Slow(TClock::time_point wallNow) {
    const TClock::time_point now = OwnTime(wallNow);
    if (now - FSamples.back().first >= std::chrono::milliseconds(100)) FSamples.emplace_back(now, FTotal);
    // The oldest sample kept is the last one at least a window old.
    while (FSamples.size() > 1 && now - FSamples[1].first >= FWindow)
        FSamples.pop_front();
    const auto [then, bytesThen] = FSamples.front();
    if (now - then < FWindow) return false;
    FSpeed = static_cast<double>(FTotal - bytesThen) / std::chrono::duration<double>(now - then).count();
    return FSpeed < FMinSpeed;
}

struct TStallWatch::TState {
    TStallClock Clock;
    int Socket = -1; // our own duplicate: the client's may be closed and its number reused
    bool TooSlow = false;
};

namespace {

// Looks at the watched transfers ten times a second, from a thread of its
// own that lives as long as the process.
class TStallWatchdog {
  public:
    static TStallWatchdog& Get() {
        static TStallWatchdog* dog = new TStallWatchdog; // never destroyed: its thread may outlive main
        return *dog;
    }
    std::mutex Lock;
    void Add(const std::shared_ptr<TStallWatch::TState>& state) {
        std::lock_guard<std::mutex> guard(Lock);
        FWatched.push_back(state);
        if (!FStarted) {
            FStarted = true;
            std::thread([this] { Run(); }).detach();
        }
    }
    void Remove(const TStallWatch::TState* state) {
        std::lock_guard<std::mutex> guard(Lock);
        FWatched.erase(
            std::remove_if(FWatched.begin(), FWatched.end(), [&](const auto& s) { return s.get() == state; }),
            FWatched.end());
    }

  private:
    void Run() {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard<std::mutex> guard(Lock);
            const TClock::time_point now = TClock::now();
            for (const auto& state : FWatched)
                if (!state->TooSlow && state->Clock.Slow(now)) {
                    state->TooSlow = true;
                    ::shutdown(state->Socket, SHUT_RDWR);
                }
        }
    }
    std::vector<std::shared_ptr<TStallWatch::TState>> FWatched;
    bool FStarted = false;
};

} // namespace

TStallWatch::TStallWatch(double minSpeed, double minSpeedSeconds)
    : FMinSpeed(minSpeed), FWindow(minSpeedSeconds) {}

TStallWatch::~TStallWatch() {
    if (!FState) return;
    TStallWatchdog::Get().Remove(FState.get());
    ::close(FState->Socket);
}

void TStallWatch::Attach(int socket) {
    if (FMinSpeed <= 0 || FState || socket < 0) return;
    const int own = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return;
    FState = std::make_shared<TState>(TState{TStallClock(FMinSpeed, FWindow, TClock::now()), own});
    TStallWatchdog::Get().Add(FState);
}

void TStallWatch::Received(int64_t bytes) {
    if (!FState) return;
    std::lock_guard<std::mutex> guard(TStallWatchdog::Get().Lock);
    FState->Clock.Received(bytes);
}

void TStallWatch::Hold(bool holding) {
    if (!FState) return;
    std::lock_guard<std::mutex> guard(TStallWatchdog::Get().Lock);
    if (holding)
        FState->Clock.Hold(TClock::now());
    else
        FState->Clock.Release(TClock::now());
}

bool TStallWatch::TooSlow() const {
    if (!FState) return false;
    std::lock_guard<std::mutex> guard(TStallWatchdog::Get().Lock);
    return FState->TooSlow;
}

std::string TStallWatch::TooSlowMessage() const {
    std::lock_guard<std::mutex> guard(TStallWatchdog::Get().Lock);
    return Format("Slower than %.0f bytes a second for %g seconds (%.0f bytes a second)", FMinSpeed, FWindow,
                  FState ? FState->Clock.Speed() : 0.0);
}

int PieceSizeFor(double minSpeed, double minSpeedSeconds) {
    const double piece = minSpeed * minSpeedSeconds / 8;
    return static_cast<int>(std::clamp(piece, 1024.0, 32768.0));
}
