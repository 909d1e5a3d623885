#include "transfer/RateLimit.h"

#include "core/TextUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// The shared pace: every byte of every transfer books its slot on one time
// line. A short burst is allowed, so that a pause (a new connection, a slow
// disk) is made up without bunching up.
class TPace {
  public:
    void SetRate(double rate) {
        std::lock_guard<std::mutex> guard(FLock);
        FRate = rate;
        FNext = TClock::now();
    }
    // When the caller may go on, having received bytes.
    TClock::time_point Book(int64_t bytes) {
        std::lock_guard<std::mutex> guard(FLock);
        if (FRate <= 0) return TClock::time_point::min();
        const TClock::time_point now = TClock::now();
        const auto burst = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(0.1));
        FNext = std::max(FNext, now - burst);
        FNext += std::chrono::duration_cast<TClock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / FRate));
        return FNext;
    }

  private:
    std::mutex FLock;
    double FRate = 0;
    TClock::time_point FNext = TClock::now();
};

TPace& SharedPace() {
    static TPace pace;
    return pace;
}

void SleepUntil(TClock::time_point until, const std::atomic<bool>& stop) {
    for (TClock::time_point now = TClock::now(); now < until && !stop.load(); now = TClock::now())
        std::this_thread::sleep_for(std::min<TClock::duration>(until - now, std::chrono::milliseconds(50)));
}

} // namespace

std::optional<double> ParseRate(const std::string& text) {
    const std::string t = TextTrim(text);
    if (t.empty() || !(std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '.')) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(t.c_str(), &end);
    const std::string unit(end);
    if (unit == "k" || unit == "K")
        value *= 1024;
    else if (unit == "m" || unit == "M")
        value *= 1024 * 1024;
    else if (!unit.empty())
        return std::nullopt;
    if (!std::isfinite(value) || value < 0 || value > 1e12) return std::nullopt;
    return value;
}

void SetRateLimit(double bytesPerSecond) {
    SharedPace().SetRate(bytesPerSecond);
}

// ---------------------------------------------------------------- stalls

struct TTransferWatch::TState {
    double MinSpeed = 0, Window = 0;
    TClock::time_point Start;
    int64_t Total = 0;
    // (time, bytes received by then), a sample every tenth of a second at most.
    std::deque<std::pair<TClock::time_point, int64_t>> Samples;
    int Socket = -1; // our own duplicate: the client's may be closed and its number reused
    bool TooSlow = false;
    double Speed = 0;
    // The time the rate limit held the transfer back: the watchdog judges the
    // server, and a worker paced to its share of --limit-rate is not slow.
    TClock::duration Paused{};
    bool Pausing = false;
    TClock::time_point PauseStart;

    // The transfer's own clock: the time it has been open, less its pauses.
    TClock::time_point ActiveTime(TClock::time_point now) const {
        return now - Paused - (Pausing ? now - PauseStart : TClock::duration::zero());
    }

    // True when the transfer has run for a whole window and received less
    // than the minimum over the last one, both counted on its own clock.
    bool Slow(TClock::time_point wallNow) {
        const TClock::time_point now = ActiveTime(wallNow);
        const auto window =
            std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(Window));
        if (now - Samples.back().first >= std::chrono::milliseconds(100)) Samples.emplace_back(now, Total);
        // The oldest sample kept is the last one at least a window old.
        while (Samples.size() > 1 && now - Samples[1].first >= window)
            Samples.pop_front();
        const auto [then, bytesThen] = Samples.front();
        if (now - then < window) return false;
        Speed = static_cast<double>(Total - bytesThen) / std::chrono::duration<double>(now - then).count();
        return Speed < MinSpeed;
    }
};

namespace {

// Looks at the attached transfers ten times a second, from a thread of its
// own that lives as long as the process.
class TWatchdog {
  public:
    static TWatchdog& Get() {
        static TWatchdog* dog = new TWatchdog; // never destroyed: its thread may outlive main
        return *dog;
    }
    std::mutex Lock;
    void Add(const std::shared_ptr<TTransferWatch::TState>& state) {
        std::lock_guard<std::mutex> guard(Lock);
        FWatched.push_back(state);
        if (!FStarted) {
            FStarted = true;
            std::thread([this] { Run(); }).detach();
        }
    }
    void Remove(const TTransferWatch::TState* state) {
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
                if (!state->TooSlow && state->Slow(now)) {
                    state->TooSlow = true;
                    ::shutdown(state->Socket, SHUT_RDWR);
                }
        }
    }
    std::vector<std::shared_ptr<TTransferWatch::TState>> FWatched;
    bool FStarted = false;
};

} // namespace

TTransferWatch::TTransferWatch(double minSpeed, double minSpeedSeconds)
    : FMinSpeed(minSpeed), FWindow(minSpeedSeconds) {}

TTransferWatch::~TTransferWatch() {
    if (!FState) return;
    TWatchdog::Get().Remove(FState.get());
    ::close(FState->Socket);
}

void TTransferWatch::Attach(int socket) {
    if (FMinSpeed <= 0 || FState || socket < 0) return;
    const int own = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return;
    FState = std::make_shared<TState>();
    FState->MinSpeed = FMinSpeed;
    FState->Window = FWindow;
    FState->Start = TClock::now();
    FState->Samples.emplace_back(FState->Start, 0);
    FState->Socket = own;
    TWatchdog::Get().Add(FState);
}

void TTransferWatch::Received(int64_t bytes, const std::atomic<bool>& stop) {
    if (FState) {
        std::lock_guard<std::mutex> guard(TWatchdog::Get().Lock);
        FState->Total += bytes;
    }
    const TClock::time_point until = SharedPace().Book(bytes);
    if (until <= TClock::now()) return;
    PauseWatch(true);
    SleepUntil(until, stop);
    PauseWatch(false);
}

void TTransferWatch::PauseWatch(bool pausing) {
    if (!FState) return;
    std::lock_guard<std::mutex> guard(TWatchdog::Get().Lock);
    const TClock::time_point now = TClock::now();
    if (pausing) {
        FState->PauseStart = now;
    } else if (FState->Pausing) {
        FState->Paused += now - FState->PauseStart;
    }
    FState->Pausing = pausing;
}

bool TTransferWatch::TooSlow() const {
    if (!FState) return false;
    std::lock_guard<std::mutex> guard(TWatchdog::Get().Lock);
    return FState->TooSlow;
}

std::string TTransferWatch::TooSlowMessage() const {
    std::lock_guard<std::mutex> guard(TWatchdog::Get().Lock);
    return Format("Slower than %.0f bytes a second for %g seconds (%.0f bytes a second)", FMinSpeed, FWindow,
                  FState ? FState->Speed : 0.0);
}

int PieceSizeFor(double minSpeed, double minSpeedSeconds) {
    const double piece = minSpeed * minSpeedSeconds / 8;
    return static_cast<int>(std::clamp(piece, 1024.0, 32768.0));
}
