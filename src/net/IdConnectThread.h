#pragma once
// The thread a timed connect runs its connect on, so the caller can give up
// after its time-out.

#include "net/IdSocketHandle.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class TIdConnectThread {
  public:
    explicit TIdConnectThread(TIdSocketHandle& binding);
    ~TIdConnectThread();
    TIdConnectThread(const TIdConnectThread&) = delete;
    TIdConnectThread& operator=(const TIdConnectThread&) = delete;

    void Start();
    // Asks a pending connect to give up; the thread then ends promptly.
    void Terminate();
    void WaitFor();
    // The done mark: set by the thread when its connect is over, whatever the outcome.
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    // Waits at most milliseconds for the done mark; answers Terminated().
    bool WaitTerminated(int milliseconds);
    // Valid once Terminated() answers true or the thread has ended.
    const std::string& ErrorMessage() const { return FErrorMessage; }

  private:
    void Execute();

    TIdSocketHandle& FBinding;
    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::string FErrorMessage;
    std::mutex FDoneLock;
    std::condition_variable FDone;
    int FCancelPipe[2] = {-1, -1};
};
