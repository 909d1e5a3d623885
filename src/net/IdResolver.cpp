#include "net/IdResolver.h"

#include "core/Exceptions.h"
#include "net/IdCancelSignal.h"
#include "net/IdException.h"
#include "net/IdStackPosix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex LookupLock;
TIdLookupFunction InstalledLookup; // empty: the system's
std::atomic<int> LiveLookups{0};
std::atomic<int> LeftBehind{0};

TIdLookupFunction CurrentLookup() {
    std::lock_guard<std::mutex> lock(LookupLock);
    return InstalledLookup ? InstalledLookup : TIdLookupFunction(SystemLookup);
}

// Shared by the waiting caller and the lookup thread; the last one to let go
// frees it, so a thread whose caller went on never writes into freed memory.
struct TLookupState {
    TLookupState() : DoneFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (DoneFd < 0) throw EIdException("Cannot start the host name lookup.");
    }
    ~TLookupState() { ::close(DoneFd); }
    TLookupState(const TLookupState&) = delete;
    TLookupState& operator=(const TLookupState&) = delete;

    const int DoneFd; // readable once Answer is set
    std::mutex Lock;
    TIdLookupAnswer Answer;
    bool Answered = false;
    bool Abandoned = false; // the caller went on without the answer
};

// Runs on the lookup thread: nothing may escape it.
// Runs on the lookup thread: nothing may escape it. Answers whether the
// caller had abandoned the lookup by the time it answered.
bool RunLookup(const std::shared_ptr<TLookupState>& state, const TIdLookupFunction& lookup,
               const std::string& host) {
    TIdLookupAnswer answer;
    try {
        answer = lookup(host);
    } catch (...) {
        answer = TIdLookupAnswer{EAI_MEMORY, 0, {}};
    }
    bool abandoned = false;
    {
        std::lock_guard<std::mutex> lock(state->Lock);
        state->Answer = std::move(answer);
        state->Answered = true;
        abandoned = state->Abandoned;
    }
    const uint64_t one = 1;
    while (::write(state->DoneFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return abandoned;
}

// Counted as left behind only while its thread still runs.
void Abandon(TLookupState& state) {
    std::lock_guard<std::mutex> lock(state.Lock);
    if (state.Answered) return;
    state.Abandoned = true;
    LeftBehind.fetch_add(1);
}

// Waits until fewer than MaxAbandonedLookups threads are left behind. Their
// ends are not signalled to anyone, so the wait looks again every few
// milliseconds; it only ever happens while a name server is not answering.
void WaitForASlot(const TIdCancelSignal& cancel, int timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    constexpr int tick = 20;
    while (LeftBehind.load() >= MaxAbandonedLookups) {
        int wait = tick;
        if (timeout > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                throw EIdConnectTimeout(Format("Connect timed out: %d abandoned host name lookups are still "
                                               "waiting for the name server.",
                                               LeftBehind.load()));
            wait = static_cast<int>(std::min<long long>(left, tick));
        }
        pollfd fd{cancel.Fd(), POLLIN, 0};
        if (cancel.Cancelled() || ::poll(&fd, 1, wait) > 0) throw EIdCancelled(RSCancelled);
    }
}

void AddText(const addrinfo* entry, std::vector<std::string>& texts) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) return;
    const std::string text = SocketAddressText(entry->ai_addr);
    if (std::find(texts.begin(), texts.end(), text) == texts.end()) texts.push_back(text);
}

// Waits until the lookup's answer or the cancel signal is there; true for the answer.
bool WaitForAnswer(const TLookupState& state, const TIdCancelSignal& cancel) {
    pollfd fds[2] = {{cancel.Fd(), POLLIN, 0}, {state.DoneFd, POLLIN, 0}};
    for (;;) {
        if (cancel.Cancelled()) return false;
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) throw EIdException("Cannot wait for the host name lookup.");
        if (fds[0].revents != 0) return false;
        if (fds[1].revents != 0) return true;
    }
}

} // namespace

TIdLookupAnswer SystemLookup(const std::string& host) {
    // No AI_ADDRCONFIG: it counts no loopback address, so a machine whose
    // only IPv6 address is ::1 would never be offered a name's IPv6 address;
    // an address of a family the machine cannot reach fails its attempt at
    // once and the next one is tried.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    TIdLookupAnswer answer;
    answer.Code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    answer.Errno = errno;
    for (const addrinfo* entry = answer.Code == 0 ? found : nullptr; entry != nullptr; entry = entry->ai_next)
        AddText(entry, answer.Addresses);
    if (found != nullptr) ::freeaddrinfo(found);
    return answer;
}

std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addresses) {
    std::vector<std::string> first, other;
    const bool firstIsV6 = !addresses.empty() && TIdStack::IsIPv6Address(addresses.front());
    for (const std::string& address : addresses)
        (TIdStack::IsIPv6Address(address) == firstIsV6 ? first : other).push_back(address);
    std::vector<std::string> order;
    for (size_t k = 0; k < std::max(first.size(), other.size()); ++k) {
        if (k < first.size()) order.push_back(first[k]);
        if (k < other.size()) order.push_back(other[k]);
    }
    return order;
}

TIdLookupAnswer LookupHost(const std::string& host, const TIdCancelSignal* cancel, int timeout) {
    TIdLookupFunction lookup = CurrentLookup();
    if (cancel == nullptr) return lookup(host);
    if (cancel->Cancelled()) throw EIdCancelled(RSCancelled);
    WaitForASlot(*cancel, timeout);
    auto state = std::make_shared<TLookupState>();
    LiveLookups.fetch_add(1);
    try {
        std::thread([state, lookup = std::move(lookup), name = host]() mutable {
            const bool abandoned = RunLookup(state, lookup, name);
            // Counted out only once nothing of the lookup is held any more.
            state.reset();
            lookup = nullptr;
            std::string().swap(name);
            if (abandoned) LeftBehind.fetch_sub(1);
            LiveLookups.fetch_sub(1);
        }).detach();
    } catch (...) {
        LiveLookups.fetch_sub(1);
        throw;
    }
    if (!WaitForAnswer(*state, *cancel)) {
        Abandon(*state);
        throw EIdCancelled(RSCancelled);
    }
    std::lock_guard<std::mutex> lock(state->Lock);
    return state->Answer;
}

void SetLookupFunction(TIdLookupFunction lookup) {
    std::lock_guard<std::mutex> lock(LookupLock);
    InstalledLookup = std::move(lookup);
}

int RunningLookups() {
    return LiveLookups.load();
}

int AbandonedLookups() {
    return LeftBehind.load();
}
