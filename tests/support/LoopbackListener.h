#pragma once
// A listening socket on one local address of either family, for connect
// tests: connects to it complete without an accept (the system answers from
// the accept queue) until Fill() has filled that queue; from then on a
// connect neither completes nor is refused, its SYNs dropped, as towards a
// blackholed address.

#include <string>
#include <vector>

class TLoopbackListener {
  public:
    // port 0: one the system picks. Throws std::runtime_error when the
    // address and port cannot be listened on.
    TLoopbackListener(const std::string& address, int port = 0);
    ~TLoopbackListener();
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    int Port() const { return FPort; }
    void Fill();
    // Takes every connection waiting in the queue, so that the next SYN of a
    // connect that stalled on it (the system sends it again after a second)
    // completes.
    void Drain();

  private:
    std::string FAddress;
    int FListener = -1;
    int FPort = 0;
    std::vector<int> FFillers;
};

// The descriptors this process holds open now.
int OpenDescriptors();
