#include "RateLimit.h"

#include "core/TextUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

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

TTransferWatch::TTransferWatch(double minSpeed, double minSpeedSeconds)
    : FMinSpeed(minSpeed), FWindow(minSpeedSeconds), FStart(TClock::now()) {
    FSamples.emplace_back(FStart, 0);
}

void TTransferWatch::Received(int64_t bytes, const std::atomic<bool>& stop) {
    FTotal += bytes;
    SleepUntil(SharedPace().Book(bytes), stop);
    if (FMinSpeed > 0) CheckSpeed(TClock::now());
}

void TTransferWatch::CheckSpeed(TClock::time_point now) {
    const auto window = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(FWindow));
    if (now - FSamples.back().first >= std::chrono::milliseconds(100)) FSamples.emplace_back(now, FTotal);
    // The oldest sample kept is the last one at least a window old.
    while (FSamples.size() > 1 && now - FSamples[1].first >= window)
        FSamples.pop_front();
    const auto [then, bytesThen] = FSamples.front();
    if (now - then < window) return; // not running for a whole window yet
    const double seconds = std::chrono::duration<double>(now - then).count();
    const double speed = static_cast<double>(FTotal - bytesThen) / seconds;
    if (speed < FMinSpeed)
        throw EGetTooSlow(Format("Slower than %.0f bytes a second for %.0f seconds (%.0f bytes a second)",
                                 FMinSpeed, FWindow, speed));
}
