#pragma once
// One "stop now" for many connections at once: a run being stopped fires it
// from any thread, and every read or connect waiting on a connection that
// holds it ends with EIdCancelled instead of waiting for its time-out.

#include <atomic>

class TIdCancelSignal {
  public:
    TIdCancelSignal();
    ~TIdCancelSignal();
    TIdCancelSignal(const TIdCancelSignal&) = delete;
    TIdCancelSignal& operator=(const TIdCancelSignal&) = delete;

    // Safe from any thread and from a signal handler; only the first call counts.
    void Cancel() noexcept;
    bool Cancelled() const noexcept { return FCancelled.load(std::memory_order_acquire); }
    // Readable once cancelled, for poll.
    int Fd() const noexcept { return FFd; }

  private:
    std::atomic<bool> FCancelled{false};
    int FFd = -1;
};
