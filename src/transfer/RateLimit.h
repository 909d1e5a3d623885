#pragma once
// Politeness and stalls: --limit-rate holds the bytes received by all
// workers together to a rate; --min-speed gives up on a transfer that
// trickles. Both act as the body is written, so a paced worker stops reading
// and TCP slows the server down.

#include "core/Exceptions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
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
// limit, and keeps the transfer's pace for the stall watchdog, which counts
// only the time the transfer is not held back by the limit. The client
// hands the body over in pieces and blocks in between, so a trickle may
// never reach Received(): a watchdog thread looks at every attached
// transfer a few times a second and shuts down the socket of one that stayed
// below --min-speed for --min-speed-time, which ends its blocked read.
class TTransferWatch {
  public:
    TTransferWatch(double minSpeed, double minSpeedSeconds);
    ~TTransferWatch();
    TTransferWatch(const TTransferWatch&) = delete;
    TTransferWatch& operator=(const TTransferWatch&) = delete;

    // Watches the transfer on this socket from now on (with --min-speed).
    void Attach(int socket);
    void Received(int64_t bytes, const std::atomic<bool>& stop);
    // The watchdog cut the transfer; the text says why.
    bool TooSlow() const;
    std::string TooSlowMessage() const;

    struct TState;

  private:
    // The watchdog's clock stands still while the rate limit holds the transfer.
    void PauseWatch(bool pausing);

    double FMinSpeed, FWindow;
    std::shared_ptr<TState> FState;
};

// The piece size for a client whose transfers must keep --min-speed: small
// enough that a transfer just above the speed shows progress well within
// --min-speed-time.
int PieceSizeFor(double minSpeed, double minSpeedSeconds);
