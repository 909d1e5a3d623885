#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int ListenOnLoopback(int backlog, int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("peer: socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("peer: cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// Printable, in double quotes; built in place, as a literal joined to a
// temporary makes GCC 12 at -O3 warn of overlapping copies.
std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    out += Printable(bytes);
    out += '"';
    return out;
}

} // namespace

// ---------------------------------------------------------------- steps

TPeerStep TPeerStep::Expect(std::string bytes) {
    TPeerStep step;
    step.Kind = TKind::Expect;
    step.Bytes = std::move(bytes);
    return step;
}

TPeerStep TPeerStep::ReadUntil(std::string marker) {
    TPeerStep step;
    step.Kind = TKind::ReadUntil;
    step.Bytes = std::move(marker);
    return step;
}

TPeerStep TPeerStep::ReadBytes(size_t count) {
    TPeerStep step;
    step.Kind = TKind::ReadBytes;
    step.Count = count;
    return step;
}

TPeerStep TPeerStep::ReadToClose() {
    TPeerStep step;
    step.Kind = TKind::ReadToClose;
    return step;
}

TPeerStep TPeerStep::Send(std::string bytes, bool oneBytePerSegment) {
    TPeerStep step;
    step.Kind = TKind::Send;
    step.Bytes = std::move(bytes);
    step.OneBytePerSegment = oneBytePerSegment;
    return step;
}

TPeerStep TPeerStep::Pause(int milliseconds) {
    TPeerStep step;
    step.Kind = TKind::Pause;
    step.Milliseconds = milliseconds;
    return step;
}

TPeerStep TPeerStep::Gate() {
    TPeerStep step;
    step.Kind = TKind::Gate;
    return step;
}

TPeerStep TPeerStep::ShutdownWrite() {
    TPeerStep step;
    step.Kind = TKind::ShutdownWrite;
    return step;
}

TPeerStep TPeerStep::Close() {
    TPeerStep step;
    step.Kind = TKind::Close;
    return step;
}

TPeerStep TPeerStep::Reset() {
    TPeerStep step;
    step.Kind = TKind::Reset;
    return step;
}

TPeerStep TPeerStep::Stall(int milliseconds) {
    TPeerStep step;
    step.Kind = TKind::Stall;
    step.Milliseconds = milliseconds;
    return step;
}

TPeerStep TPeerStep::Drained() {
    TPeerStep step;
    step.Kind = TKind::Drained;
    return step;
}

// ---------------------------------------------------------------- peer

namespace {

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

bool IsClientEnd(int fd, const TClientEnd& end) {
    sockaddr_in local{}, remote{};
    socklen_t length = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || length != sizeof(local))
        return false;
    length = sizeof(remote);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0 || length != sizeof(remote))
        return false;
    return SameAddress(local, end.Local) && SameAddress(remote, end.Remote);
}

TClientEnd FindClientEnd(int connection) {
    TClientEnd end;
    socklen_t length = sizeof(end.Local);
    if (::getpeername(connection, reinterpret_cast<sockaddr*>(&end.Local), &length) != 0) return end;
    length = sizeof(end.Remote);
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&end.Remote), &length) != 0) return end;
    for (int fd = 0; fd < 4096; ++fd)
        if (fd != connection && IsClientEnd(fd, end)) {
            end.Fd = fd;
            break;
        }
    return end;
}

const char* KindName(TPeerStep::TKind kind) {
    static const char* const names[] = {"Expect", "ReadUntil", "ReadBytes",     "ReadToClose", "Send", "Pause",
                                        "Gate",   "ShutdownWrite", "Close", "Reset",       "Stall",
                                        "Drained"};
    return names[static_cast<int>(kind)];
}

} // namespace

TScriptedPeer::TScriptedPeer(TPeerScript script, int timeLimitMs)
    : TScriptedPeer(std::vector<TPeerScript>{std::move(script)}, timeLimitMs) {}

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts, int timeLimitMs)
    : FScripts(std::move(scripts)), FReceived(FScripts.size()), FStepReached(FScripts.size(), 0),
      FEnded(FScripts.size(), false) {
    FListener = ListenOnLoopback(16, FPort);
    if (::pipe2(FStopPipe, O_CLOEXEC) != 0 || ::pipe2(FGatePipe, O_CLOEXEC) != 0) {
        ::close(FListener);
        CloseStopPipes();
        throw std::runtime_error("peer: pipe failed");
    }
    FDeadline = NowMs() + timeLimitMs;
    FThread = std::thread([this] { Run(); });
}

void TScriptedPeer::CloseStopPipes() {
    for (int* fd : {&FStopPipe[0], &FStopPipe[1], &FGatePipe[0], &FGatePipe[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

void TScriptedPeer::Stop() {
    if (FThread.joinable()) {
        char wake = 1;
        ssize_t ignored = ::write(FStopPipe[1], &wake, 1);
        (void)ignored;
        FThread.join();
    }
    if (FListener >= 0) {
        ::close(FListener);
        FListener = -1;
    }
}

void TScriptedPeer::Open() {
    char gate = 1;
    ssize_t ignored = ::write(FGatePipe[1], &gate, 1);
    (void)ignored;
}

int TScriptedPeer::MillisecondsLeft() const {
    long long left = FDeadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd, also woken by Stop and ended by the time limit. What
// is ready already still counts after Stop: that happened before it.
bool TScriptedPeer::WaitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {FStopPipe[0], POLLIN, 0}};
    int limit = MillisecondsLeft();
    if (timeoutMs >= 0 && timeoutMs < limit) limit = timeoutMs;
    int n;
    do {
        n = ::poll(fds, 2, limit);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
}

bool TScriptedPeer::SleepInterruptible(int milliseconds) {
    pollfd fd{FStopPipe[0], POLLIN, 0};
    int limit = MillisecondsLeft();
    if (milliseconds >= 0 && milliseconds < limit) limit = milliseconds;
    return ::poll(&fd, 1, limit) == 0 && (milliseconds < 0 || milliseconds <= limit);
}

bool TScriptedPeer::WaitGate() {
    if (!WaitFor(FGatePipe[0], POLLIN, -1)) return false;
    char gate;
    return ::read(FGatePipe[0], &gate, 1) == 1;
}

void TScriptedPeer::Fail(size_t index, const std::string& text) {
    std::lock_guard<std::mutex> lock(FLock);
    FFailures.push_back("connection " + std::to_string(index) + ": " + text);
}

void TScriptedPeer::Reached(size_t index, size_t step) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStepReached[index] = step;
    }
    FChanged.notify_all();
}

void TScriptedPeer::Run() {
    size_t index = 0;
    for (; index < FScripts.size(); ++index) {
        // A client that connected just before Stop still counts: its script plays, cut short.
        if (!WaitFor(FListener, POLLIN, -1)) break;
        int connection = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) break;
        ++FAccepted;
        PlayScript(index, connection);
    }
    if (index < FScripts.size())
        Fail(index, index + 1 == FScripts.size()
                        ? std::string("no connection arrived")
                        : "no connection arrived (nor for the " + std::to_string(FScripts.size() - index - 1) +
                              " scripts after it)");
    {
        std::lock_guard<std::mutex> lock(FLock);
        FEnded.assign(FEnded.size(), true);
        FDone = true;
    }
    FChanged.notify_all();
}

void TScriptedPeer::PlayScript(size_t index, int connection) {
    const TPeerScript& script = FScripts[index];
    TEnd end = TEnd::Next;
    size_t step = 0;
    FUnread.clear();
    for (; step < script.size() && end == TEnd::Next; ++step) {
        Reached(index, step);
        end = PlayStep(index, connection, script[step]);
    }
    const bool closed = step > 0 && end == TEnd::Ended && (script[step - 1].Kind == TPeerStep::TKind::Close ||
                                                          script[step - 1].Kind == TPeerStep::TKind::Reset);
    if (!closed) ::close(connection);
    if (end == TEnd::Failed)
        Fail(index, "step " + std::to_string(step - 1) + " (" + KindName(script[step - 1].Kind) +
                        ") did not finish; the script stopped there");
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (end == TEnd::Next || end == TEnd::Ended) FStepReached[index] = script.size();
        FEnded[index] = true;
    }
    FChanged.notify_all();
}

// One read into the connection's record.
TScriptedPeer::TRead TScriptedPeer::ReadSome(size_t index, int connection, std::string& into) {
    if (!WaitFor(connection, POLLIN, -1)) return TRead::Stopped;
    char buffer[65536];
    ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) return TRead::Closed;
    into.append(buffer, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(FLock);
    FReceived[index].append(buffer, static_cast<size_t>(n));
    return TRead::Data;
}

// Each byte leaves in a segment of its own, and the next waits until the client
// has read it (when the client runs in this process), so every split is seen.
// Once the client has let go (closed, or no reading for a while) or the test
// stops, the rest goes out in one piece, as an unpaced send would have done.
bool TScriptedPeer::SendByteAtATime(int connection, const std::string& bytes) {
    int one = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const TClientEnd client = FindClientEnd(connection);
    size_t offset = 0;
    while (offset < bytes.size() && WaitFor(connection, POLLOUT, -1)) {
        ssize_t n = ::send(connection, bytes.data() + offset, 1, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        ++offset;
        if (!WaitUntilRead(client)) break;
    }
    if (offset < bytes.size())
        ::send(connection, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    return true;
}

// False when the client has let go or the test stops. The socket's identity and
// the stop are checked now and then only: this loop runs once per byte sent.
bool TScriptedPeer::WaitUntilRead(const TClientEnd& client) {
    if (client.Fd < 0) return true;
    const long long giveUp = NowMs() + 200;
    for (unsigned round = 0;; ++round) {
        int queued = 0;
        if (::ioctl(client.Fd, FIONREAD, &queued) != 0) return false;
        if (queued == 0) return true;
        if (round % 64 == 63 && (!IsClientEnd(client.Fd, client) || NowMs() >= giveUp || !SleepInterruptible(0)))
            return false;
        std::this_thread::yield();
    }
}

// Unlike WaitUntilRead, never gives up on a slow client: the order of what
// the client reads is the point of the step.
TScriptedPeer::TEnd TScriptedPeer::WaitDrained(size_t index, int connection) {
    const TClientEnd client = FindClientEnd(connection);
    if (client.Fd < 0) {
        Fail(index, "Drained: the client does not run in this process");
        return TEnd::Reported;
    }
    for (;;) {
        int queued = 0;
        if (!IsClientEnd(client.Fd, client) || ::ioctl(client.Fd, FIONREAD, &queued) != 0) return TEnd::Failed;
        if (queued == 0) return TEnd::Next;
        if (!SleepInterruptible(1)) return TEnd::Failed;
    }
}

TScriptedPeer::TEnd TScriptedPeer::SendAll(int connection, const TPeerStep& step) {
    const bool hungUp = step.HangUpExpected;
    if (step.OneBytePerSegment) {
        if (SendByteAtATime(connection, step.Bytes)) return TEnd::Next;
        return hungUp && (errno == EPIPE || errno == ECONNRESET) ? TEnd::Ended : TEnd::Failed;
    }
    const std::string& bytes = step.Bytes;
    for (size_t offset = 0; offset < bytes.size();) {
        if (!WaitFor(connection, POLLOUT, -1)) return TEnd::Failed;
        ssize_t n = ::send(connection, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && hungUp && (errno == EPIPE || errno == ECONNRESET)) return TEnd::Ended;
        if (n <= 0) return TEnd::Failed;
        offset += static_cast<size_t>(n);
    }
    return TEnd::Next;
}

TScriptedPeer::TEnd TScriptedPeer::ReadStep(size_t index, int connection, const TPeerStep& step) {
    using K = TPeerStep::TKind;
    std::string got = std::exchange(FUnread, std::string());
    auto enough = [&] {
        if (step.Kind == K::ReadUntil) return got.find(step.Bytes) != std::string::npos;
        if (step.Kind == K::ReadBytes) return got.size() >= step.Count;
        return got.size() >= step.Bytes.size();
    };
    TRead read = TRead::Data;
    while ((step.Kind == K::ReadToClose || !enough()) && read == TRead::Data)
        read = ReadSome(index, connection, got);
    if (step.Kind == K::ReadToClose) return read == TRead::Closed ? TEnd::Next : TEnd::Failed;
    if (step.Kind == K::Expect && got.substr(0, step.Bytes.size()) != step.Bytes) {
        Fail(index, "expected \"" + Printable(step.Bytes) + "\", got \"" + Printable(got) + "\"");
        return TEnd::Reported;
    }
    if (enough()) {
        const size_t used = step.Kind == K::ReadUntil  ? got.find(step.Bytes) + step.Bytes.size()
                            : step.Kind == K::ReadBytes ? step.Count
                                                        : step.Bytes.size();
        FUnread = got.substr(used);
        return TEnd::Next;
    }
    if (step.Kind == K::ReadUntil)
        Fail(index, Quoted(step.Bytes) + " never arrived; got " + Quoted(got));
    else
        Fail(index, "expected " + std::to_string(step.Kind == K::Expect ? step.Bytes.size() : step.Count) +
                        " bytes, got " + std::to_string(got.size()));
    return TEnd::Reported;
}

TScriptedPeer::TEnd TScriptedPeer::PlayStep(size_t index, int connection, const TPeerStep& step) {
    using K = TPeerStep::TKind;
    switch (step.Kind) {
    case K::Expect:
    case K::ReadUntil:
    case K::ReadBytes:
    case K::ReadToClose:
        return ReadStep(index, connection, step);
    case K::Send:
        return SendAll(connection, step);
    case K::Pause:
        return SleepInterruptible(step.Milliseconds) ? TEnd::Next : TEnd::Failed;
    case K::Gate:
        return WaitGate() ? TEnd::Next : TEnd::Failed;
    case K::Drained:
        return WaitDrained(index, connection);
    case K::Stall:
        // Ends early when the client closes, so the next connection is served.
        WaitFor(connection, POLLRDHUP, step.Milliseconds);
        return TEnd::Ended;
    case K::ShutdownWrite:
        ::shutdown(connection, SHUT_WR);
        return TEnd::Next;
    case K::Close:
        ::close(connection);
        return TEnd::Ended;
    case K::Reset: {
        linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        ::close(connection);
        return TEnd::Ended;
    }
    }
    return TEnd::Failed;
}

bool TScriptedPeer::WaitDone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FDone; });
}

bool TScriptedPeer::WaitReached(size_t connection, size_t step, int timeoutMs) {
    std::unique_lock<std::mutex> lock(FLock);
    if (connection >= FScripts.size()) return false;
    FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return FStepReached[connection] >= step || FEnded[connection]; });
    return FStepReached[connection] >= step;
}

std::string TScriptedPeer::Received(size_t connection) {
    std::unique_lock<std::mutex> lock(FLock);
    if (connection >= FReceived.size()) return {};
    FChanged.wait_for(lock, std::chrono::milliseconds(MillisecondsLeft() + 100),
                      [&] { return FEnded[connection]; });
    return FReceived[connection];
}

std::vector<std::string> TScriptedPeer::Failures() {
    std::lock_guard<std::mutex> lock(FLock);
    FFailuresRead = true;
    return FFailures;
}

bool TScriptedPeer::Finish() {
    Stop();
    const std::vector<std::string> failures = Failures();
    for (const std::string& failure : failures)
        ADD_FAILURE() << "scripted peer, " << failure;
    return failures.empty();
}

// ---------------------------------------------------------------- full backlog

TFullBacklogListener::TFullBacklogListener() {
    FListener = ListenOnLoopback(0, FPort);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(FPort));
    // Connects complete until the accept queue is full; the first that stays
    // pending shows that it is.
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        FFillers.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) return;
    }
    throw std::runtime_error("backlog: the accept queue never filled");
}

TFullBacklogListener::~TFullBacklogListener() {
    for (int fd : FFillers)
        ::close(fd);
    if (FListener >= 0) ::close(FListener);
}

int ClosedLoopbackPort() {
    int port = 0;
    int fd = ListenOnLoopback(1, port);
    ::close(fd);
    return port;
}
