#include "transfer/RatePacer.h"

#include "core/TextUtils.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <thread>

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

void TRatePacer::SetRate(double bytesPerSecond, TClock::time_point now) {
    std::lock_guard<std::mutex> guard(FLock);
    FRate = bytesPerSecond;
    FNext = now;
}

TRatePacer::TClock::time_point TRatePacer::Book(int64_t bytes, TClock::time_point now) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FRate <= 0) return TClock::time_point::min();
    FNext = std::max(FNext, now - TClock::duration(Burst));
    FNext += std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / FRate));
    return FNext;
}

TRatePacer& SharedRatePacer() {
    static TRatePacer pacer;
    return pacer;
}

void SetRateLimit(double bytesPerSecond) {
    SharedRatePacer().SetRate(bytesPerSecond, TRatePacer::TClock::now());
}

void SleepUntil(TRatePacer::TClock::time_point until, const std::atomic<bool>& stop) {
    using TClock = TRatePacer::TClock;
    for (TClock::time_point now = TClock::now(); now < until && !stop.load(); now = TClock::now())
        std::this_thread::sleep_for(std::min<TClock::duration>(until - now, std::chrono::milliseconds(50)));
}
