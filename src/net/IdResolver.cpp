#include "net/IdResolver.h"

#include "net/IdCancelSignal.h"
#include "net/IdException.h"

#include <atomic>
#include <cerrno>
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
};

// Runs on the lookup thread: nothing may escape it.
void RunLookup(const std::shared_ptr<TLookupState>& state, const TIdLookupFunction& lookup,
               const std::string& host) {
    TIdLookupAnswer answer;
    try {
        answer = lookup(host);
    } catch (...) {
        answer = TIdLookupAnswer{EAI_MEMORY, 0, false, {}};
    }
    {
        std::lock_guard<std::mutex> lock(state->Lock);
        state->Answer = answer;
    }
    const uint64_t one = 1;
    while (::write(state->DoneFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
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
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    TIdLookupAnswer answer;
    answer.Code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    answer.Errno = errno;
    if (answer.Code == 0 && found != nullptr) {
        sockaddr_in address{};
        std::memcpy(&address, found->ai_addr, sizeof(address));
        std::memcpy(answer.Address.data(), &address.sin_addr, 4);
        answer.Found = true;
    }
    if (found != nullptr) ::freeaddrinfo(found);
    return answer;
}

TIdLookupAnswer LookupHost(const std::string& host, const TIdCancelSignal* cancel) {
    TIdLookupFunction lookup = CurrentLookup();
    if (cancel == nullptr) return lookup(host);
    if (cancel->Cancelled()) throw EIdCancelled(RSCancelled);
    auto state = std::make_shared<TLookupState>();
    LiveLookups.fetch_add(1);
    try {
        std::thread([state, lookup = std::move(lookup), name = host]() mutable {
            RunLookup(state, lookup, name);
            // Counted out only once nothing of the lookup is held any more.
            state.reset();
            lookup = nullptr;
            std::string().swap(name);
            LiveLookups.fetch_sub(1);
        }).detach();
    } catch (...) {
        LiveLookups.fetch_sub(1);
        throw;
    }
    if (!WaitForAnswer(*state, *cancel)) throw EIdCancelled(RSCancelled);
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
