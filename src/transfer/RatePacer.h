#pragma once
// --limit-rate: the bytes received by all workers together are held to one
// rate. A worker paced here stops reading, and TCP slows the server down.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// "500", "500k", "1.5M" (k = 1024, M = 1048576, as curl and wget count);
// nothing for text that is no rate.
std::optional<double> ParseRate(const std::string& text);

// Every byte of every transfer books its slot on one time line. A short
// burst is allowed, so that a pause (a new connection, a slow disk) is made
// up without bunching up.
class TRatePacer {
  public:
    using TClock = std::chrono::steady_clock;
    // How far the time line may lag behind now: the burst made up after a pause.
    static constexpr std::chrono::milliseconds Burst{100};

    // Bytes a second; 0: no limit. The time line starts at now.
    void SetRate(double bytesPerSecond, TClock::time_point now);
    // When the receiver of bytes at now may go on; not after now: at once.
    TClock::time_point Book(int64_t bytes, TClock::time_point now);

  private:
    std::mutex FLock;
    double FRate = 0;
    TClock::time_point FNext{};
};

// The pacer every transfer of the process shares.
TRatePacer& SharedRatePacer();

// The rate all transfers of the process share, in bytes a second; 0: none.
void SetRateLimit(double bytesPerSecond);

// Sleeps until until, or until stop is set, whichever comes first.
void SleepUntil(TRatePacer::TClock::time_point until, const std::atomic<bool>& stop);
