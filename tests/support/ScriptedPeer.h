#pragma once
// A scripted TCP peer on 127.0.0.1 for wire tests: it accepts connections on a
// port the system picks, plays one script of steps per connection, and keeps
// every byte the client sent. Connections are served one after the other.
// Everything it does has a time limit, so a test
// whose client misbehaves fails instead of hanging. A script that went wrong
// (bytes that never came, a send that failed, a step never reached) fails the
// test when the peer goes away, unless the test read Failures() itself.
//
//   TScriptedPeer peer({TPeerStep::ReadUntil("\r\n\r\n"),
//                       TPeerStep::Send("HTTP/1.1 200 OK\r\n\r\nhi", true),
//                       TPeerStep::Close()});
//   ... connect to peer.Port() ...
//   EXPECT_EQ(peer.Received(), "GET / HTTP/1.1\r\n...");

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
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
        Pause,         // sleep Milliseconds (for timing cases; order steps with Gate instead)
        Gate,          // wait until the test calls Open()
        ShutdownWrite, // half-close: the client reads the end, the peer still reads
        Close,         // orderly close
        Reset,         // close with SO_LINGER 0: the client sees a reset
        Stall,         // stay silent (no reads, no writes) for Milliseconds (-1: the time limit) or
                       // until the client closes; ends the script
        Drained,       // wait until the client (in this process) has read every byte sent so far
    };

    TKind Kind = TKind::Pause;
    std::string Bytes;
    bool OneBytePerSegment = false;
    // The client may hang up before it has read everything (it refuses the
    // reply): a send cut short by that ends the script instead of failing it.
    bool HangUpExpected = false;
    int Milliseconds = 0;
    size_t Count = 0;

    static TPeerStep Expect(std::string bytes);
    static TPeerStep ReadUntil(std::string marker);
    static TPeerStep ReadBytes(size_t count);
    static TPeerStep ReadToClose();
    static TPeerStep Send(std::string bytes, bool oneBytePerSegment = false);
    static TPeerStep Pause(int milliseconds);
    static TPeerStep Gate();
    static TPeerStep ShutdownWrite();
    static TPeerStep Close();
    static TPeerStep Reset();
    static TPeerStep Stall(int milliseconds = -1);
    static TPeerStep Drained();
};

using TPeerScript = std::vector<TPeerStep>;

// The client's end of a loopback connection, when the client runs in this process.
struct TClientEnd {
    int Fd = -1;
    sockaddr_in Local{};  // the client's address
    sockaddr_in Remote{}; // ours
};

class TScriptedPeer {
  public:
    // One connection playing script.
    explicit TScriptedPeer(TPeerScript script, int timeLimitMs = 10000);
    // Connection i (in the order accepted) plays scripts[i].
    explicit TScriptedPeer(std::vector<TPeerScript> scripts, int timeLimitMs = 10000);
    // Reports the failures of the scripts nobody asked about.
    ~TScriptedPeer() {
        Stop();
        ReportUnread();
        CloseStopPipes();
    }
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    int Port() const { return FPort; }
    // Waits (within the time limit) until every script has ended; false when one has not.
    bool WaitDone(int timeoutMs = 10000);
    // Waits until connection i's script has begun step (its size: has ended); false when it has not.
    bool WaitReached(size_t connection, size_t step, int timeoutMs = 10000);
    // Lets the next Gate step go on.
    void Open();
    // The bytes connection i sent, after its script has ended (or the time limit).
    std::string Received(size_t connection = 0);
    // Mismatches, failed sends, time-outs and unplayed steps, one text each;
    // empty when every script ran as written. Asking takes over their report.
    std::vector<std::string> Failures();
    // Stops and fails the test with every failure of the scripts; true when there was none.
    bool Finish();
    size_t AcceptedCount() const { return FAccepted.load(); }
    // Ends every script at once and closes every socket.
    void Stop();

  private:
    enum class TEnd { Next, Ended, Failed, Reported }; // Reported: failed, already said why
    enum class TRead { Data, Closed, Stopped };

    void ReportUnread() {
        std::vector<std::string> unread;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (!FFailuresRead) unread = FFailures;
        }
        for (const std::string& failure : unread)
            ADD_FAILURE() << "scripted peer, " << failure;
    }
    void CloseStopPipes();
    void Run();
    void PlayScript(size_t index, int connection);
    TEnd PlayStep(size_t index, int connection, const TPeerStep& step);
    TEnd ReadStep(size_t index, int connection, const TPeerStep& step);
    TRead ReadSome(size_t index, int connection, std::string& into);
    TEnd SendAll(int connection, const TPeerStep& step);
    bool SendByteAtATime(int connection, const std::string& bytes);
    bool WaitUntilRead(const TClientEnd& client);
    TEnd WaitDrained(size_t index, int connection);
    bool WaitFor(int fd, short events, int timeoutMs);
    bool SleepInterruptible(int milliseconds);
    bool WaitGate();
    void Reached(size_t index, size_t step);
    void Fail(size_t index, const std::string& text);
    int MillisecondsLeft() const;

    std::vector<TPeerScript> FScripts;
    std::vector<std::string> FReceived;
    // Bytes a read step received past what it waited for (requests sent
    // together, as in pipelining): the next read step of the connection starts with them.
    std::string FUnread;
    std::vector<size_t> FStepReached; // per script: the step it is at; its size once played through
    std::vector<bool> FEnded;
    std::vector<std::string> FFailures;
    bool FFailuresRead = false;
    std::mutex FLock;
    std::condition_variable FChanged;
    int FListener = -1;
    int FPort = 0;
    int FStopPipe[2] = {-1, -1};
    int FGatePipe[2] = {-1, -1};
    long long FDeadline = 0; // steady clock, ms
    std::atomic<size_t> FAccepted{0};
    bool FDone = false;
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
