#pragma once
// A scripted TCP peer on 127.0.0.1 for wire tests: it accepts connections on a
// port the system picks, plays one script of steps per connection, and keeps
// every byte the client sent. Connections are served one after the other.
// Everything it does has a time limit, so a test
// whose client misbehaves fails instead of hanging.
//
//   TScriptedPeer peer({TPeerStep::ReadUntil("\r\n\r\n"),
//                       TPeerStep::Send("HTTP/1.1 200 OK\r\n\r\nhi", true),
//                       TPeerStep::Close()});
//   ... connect to peer.Port() ...
//   EXPECT_EQ(peer.Received(), "GET / HTTP/1.1\r\n...");

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TPeerStep {
    enum class TKind {
        Expect,        // read exactly Bytes.size() bytes; a failure when they differ
        ReadUntil,     // read until Bytes has arrived (since the step began)
        ReadBytes,     // read Count bytes, whatever they are
        ReadToClose,   // read until the client closes its side
        Send,          // send Bytes, optionally one byte per TCP segment
        Pause,         // sleep Milliseconds
        ShutdownWrite, // half-close: the client reads the end, the peer still reads
        Close,         // orderly close
        Reset,         // close with SO_LINGER 0: the client sees a reset
        Stall,         // stay silent (no reads, no writes) for Milliseconds (-1: the time limit) or
                       // until the client closes; ends the script
    };

    TKind Kind = TKind::Pause;
    std::string Bytes;
    bool OneBytePerSegment = false;
    int Milliseconds = 0;
    size_t Count = 0;

    static TPeerStep Expect(std::string bytes);
    static TPeerStep ReadUntil(std::string marker);
    static TPeerStep ReadBytes(size_t count);
    static TPeerStep ReadToClose();
    static TPeerStep Send(std::string bytes, bool oneBytePerSegment = false);
    static TPeerStep Pause(int milliseconds);
    static TPeerStep ShutdownWrite();
    static TPeerStep Close();
    static TPeerStep Reset();
    static TPeerStep Stall(int milliseconds = -1);
};

using TPeerScript = std::vector<TPeerStep>;

class TScriptedPeer {
  public:
    // One connection playing script.
    explicit TScriptedPeer(TPeerScript script, int timeLimitMs = 10000);
    // Connection i (in the order accepted) plays scripts[i].
    explicit TScriptedPeer(std::vector<TPeerScript> scripts, int timeLimitMs = 10000);
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    int Port() const { return FPort; }
    // Waits (within the time limit) until every script has ended; false when one has not.
    bool WaitDone(int timeoutMs = 10000);
    // The bytes connection i sent, after its script has ended (or the time limit).
    std::string Received(size_t connection = 0);
    // Mismatches and time-outs, one text each; empty when every script ran as written.
    std::vector<std::string> Failures();
    size_t AcceptedCount() const { return FAccepted.load(); }
    // Ends every script at once and closes every socket.
    void Stop();

  private:
    void Run();
    void PlayScript(size_t index, int connection);
    bool PlayStep(size_t index, int connection, const TPeerStep& step, bool& closed);
    bool ReadSome(size_t index, int connection, std::string& into);
    bool SendAll(int connection, const TPeerStep& step);
    bool WaitFor(int fd, short events, int timeoutMs);
    bool SleepInterruptible(int milliseconds);
    void Fail(size_t index, const std::string& text);
    int MillisecondsLeft() const;

    std::vector<TPeerScript> FScripts;
    std::vector<std::string> FReceived;
    std::vector<bool> FScriptDone;
    std::vector<std::string> FFailures;
    std::mutex FLock;
    int FListener = -1;
    int FPort = 0;
    int FStopPipe[2] = {-1, -1};
    long long FDeadline = 0; // steady clock, ms
    std::atomic<size_t> FAccepted{0};
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

// A loopback listener whose accept queue is full: a connect to Port() is
// neither accepted nor refused, it just stays pending.
class TFullBacklogListener {
  public:
    TFullBacklogListener();
    ~TFullBacklogListener();
    TFullBacklogListener(const TFullBacklogListener&) = delete;
    TFullBacklogListener& operator=(const TFullBacklogListener&) = delete;
    int Port() const { return FPort; }

  private:
    int FListener = -1;
    int FPort = 0;
    std::vector<int> FFillers;
};

// A loopback port with nothing listening on it (connects are refused).
int ClosedLoopbackPort();
