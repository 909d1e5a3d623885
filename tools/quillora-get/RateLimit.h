#pragma once
// Politeness and stalls: --limit-rate holds the bytes received by all
// workers together to a rate; --min-speed gives up on a transfer that
// trickles. Both act as the body is written, so a paced worker stops reading
// and TCP slows the server down.

#include "core/Exceptions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

// A transfer stayed below --min-speed for --min-speed-time: it fails and is
// retried as a broken connection is.
QUILLORA_EXCEPTION(EGetTooSlow, Exception);

// "500", "500k", "1.5M" (k = 1024, M = 1048576, as curl and wget count);
// nothing for text that is no rate.
std::optional<double> ParseRate(const std::string& text);

// The rate all transfers of the process share, in bytes a second; 0: none.
void SetRateLimit(double bytesPerSecond);

// One transfer's bytes as they arrive: waits for its share of the rate
// limit, and throws EGetTooSlow when the transfer is too slow.
class TTransferWatch {
  public:
    TTransferWatch(double minSpeed, double minSpeedSeconds);
    void Received(int64_t bytes, const std::atomic<bool>& stop);

  private:
    using TClock = std::chrono::steady_clock;
    void CheckSpeed(TClock::time_point now);

    double FMinSpeed, FWindow;
    TClock::time_point FStart;
    int64_t FTotal = 0;
    // (time, bytes received by then), a sample every tenth of a second at most.
    std::deque<std::pair<TClock::time_point, int64_t>> FSamples;
};
