#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

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

// ---------------------------------------------------------------- peer

TScriptedPeer::TScriptedPeer(TPeerScript script, int timeLimitMs)
    : TScriptedPeer(std::vector<TPeerScript>{std::move(script)}, timeLimitMs) {}

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts, int timeLimitMs)
    : FScripts(std::move(scripts)), FReceived(FScripts.size()), FScriptDone(FScripts.size(), false) {
    FListener = ListenOnLoopback(16, FPort);
    if (::pipe2(FStopPipe, O_CLOEXEC) != 0) {
        ::close(FListener);
        throw std::runtime_error("peer: pipe failed");
    }
    FDeadline = NowMs() + timeLimitMs;
    FThread = std::thread([this] { Run(); });
}

TScriptedPeer::~TScriptedPeer() {
    Stop();
    for (int fd : FStopPipe)
        if (fd >= 0) ::close(fd);
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

int TScriptedPeer::MillisecondsLeft() const {
    long long left = FDeadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd, also woken by Stop and ended by the time limit.
bool TScriptedPeer::WaitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {FStopPipe[0], POLLIN, 0}};
    int limit = MillisecondsLeft();
    if (timeoutMs >= 0 && timeoutMs < limit) limit = timeoutMs;
    int n;
    do {
        n = ::poll(fds, 2, limit);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || (fds[1].revents & POLLIN)) return false;
    return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
}

bool TScriptedPeer::SleepInterruptible(int milliseconds) {
    pollfd fd{FStopPipe[0], POLLIN, 0};
    int limit = MillisecondsLeft();
    if (milliseconds >= 0 && milliseconds < limit) limit = milliseconds;
    return ::poll(&fd, 1, limit) == 0;
}

void TScriptedPeer::Fail(size_t index, const std::string& text) {
    std::lock_guard<std::mutex> lock(FLock);
    FFailures.push_back("connection " + std::to_string(index) + ": " + text);
}

void TScriptedPeer::Run() {
    for (size_t index = 0; index < FScripts.size(); ++index) {
        if (!WaitFor(FListener, POLLIN, -1)) {
            Fail(index, "no connection arrived");
            break;
        }
        int connection = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            Fail(index, "accept failed");
            break;
        }
        ++FAccepted;
        PlayScript(index, connection);
    }
    std::lock_guard<std::mutex> lock(FLock);
    for (size_t i = 0; i < FScriptDone.size(); ++i)
        FScriptDone[i] = true;
    FDone = true;
}

void TScriptedPeer::PlayScript(size_t index, int connection) {
    bool closed = false;
    for (const TPeerStep& step : FScripts[index]) {
        if (!PlayStep(index, connection, step, closed) || closed) break;
    }
    if (!closed) ::close(connection);
    std::lock_guard<std::mutex> lock(FLock);
    FScriptDone[index] = true;
}

// One read into the connection's record; false at the client's close or on a failure.
bool TScriptedPeer::ReadSome(size_t index, int connection, std::string& into) {
    if (!WaitFor(connection, POLLIN, -1)) return false;
    char buffer[65536];
    ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    into.append(buffer, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(FLock);
    FReceived[index].append(buffer, static_cast<size_t>(n));
    return true;
}

bool TScriptedPeer::SendAll(int connection, const TPeerStep& step) {
    const std::string& bytes = step.Bytes;
    if (step.OneBytePerSegment) {
        int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    size_t chunk = step.OneBytePerSegment ? 1 : bytes.size();
    for (size_t offset = 0; offset < bytes.size();) {
        if (!WaitFor(connection, POLLOUT, -1)) return false;
        size_t length = std::min(chunk, bytes.size() - offset);
        ssize_t n = ::send(connection, bytes.data() + offset, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        offset += static_cast<size_t>(n);
        // A short pause lets each byte leave as a segment of its own.
        if (step.OneBytePerSegment && !SleepInterruptible(1)) return false;
    }
    return true;
}

bool TScriptedPeer::PlayStep(size_t index, int connection, const TPeerStep& step, bool& closed) {
    using K = TPeerStep::TKind;
    std::string got;
    switch (step.Kind) {
    case K::Expect:
        while (got.size() < step.Bytes.size())
            if (!ReadSome(index, connection, got)) break;
        if (got.substr(0, step.Bytes.size()) != step.Bytes) {
            Fail(index, "expected \"" + Printable(step.Bytes) + "\", got \"" + Printable(got) + "\"");
            return false;
        }
        return true;
    case K::ReadUntil:
        while (got.find(step.Bytes) == std::string::npos)
            if (!ReadSome(index, connection, got)) {
                Fail(index,
                     "\"" + Printable(step.Bytes) + "\" never arrived; got \"" + Printable(got) + "\"");
                return false;
            }
        return true;
    case K::ReadBytes:
        while (got.size() < step.Count)
            if (!ReadSome(index, connection, got)) {
                Fail(index,
                     "expected " + std::to_string(step.Count) + " bytes, got " + std::to_string(got.size()));
                return false;
            }
        return true;
    case K::ReadToClose:
        while (ReadSome(index, connection, got)) {
        }
        return true;
    case K::Send:
        return SendAll(connection, step);
    case K::Pause:
        return SleepInterruptible(step.Milliseconds);
    case K::Stall:
        // Ends early when the client closes, so the next connection is served.
        WaitFor(connection, POLLRDHUP, step.Milliseconds);
        return false;
    case K::ShutdownWrite:
        ::shutdown(connection, SHUT_WR);
        return true;
    case K::Close:
        ::close(connection);
        closed = true;
        return true;
    case K::Reset: {
        linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        ::close(connection);
        closed = true;
        return true;
    }
    }
    return false;
}

bool TScriptedPeer::WaitDone(int timeoutMs) {
    long long end = NowMs() + timeoutMs;
    while (!FDone.load()) {
        if (NowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string TScriptedPeer::Received(size_t connection) {
    long long end = NowMs() + MillisecondsLeft() + 100;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (connection >= FReceived.size()) return {};
            if (FScriptDone[connection] || NowMs() >= end) return FReceived[connection];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<std::string> TScriptedPeer::Failures() {
    std::lock_guard<std::mutex> lock(FLock);
    return FFailures;
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
