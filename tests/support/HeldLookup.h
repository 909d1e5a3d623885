#pragma once
// A host-name lookup that blocks until the test lets it go, as one waiting
// for a silent name server does, so that no name is ever really looked up.
// Its state is shared with the lookup's copies, so it may outlive the test's
// own reference (an abandoned lookup thread ends after the test).
//
//   THeldLookup held;
//   held.Install();
//   ... start what looks a name up; held.WaitStarted(1); stop it ...
//   held.ReleaseAndRestore(); // in TearDown

#include "net/IdResolver.h"
#include "support/Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <string>
#include <thread>
#include <vector>

class THeldLookup {
  public:
    // answer: what every lookup answers once let go.
    explicit THeldLookup(TIdLookupAnswer answer = {}) : FAnswer(answer) {}
    // The answer of a name server that could not answer in time.
    static TIdLookupAnswer TryAgain() {
        TIdLookupAnswer answer;
        answer.Code = EAI_AGAIN;
        return answer;
    }

    TIdLookupFunction Function() const {
        return [state = FState, answer = FAnswer](const std::string& host) {
            std::unique_lock<std::mutex> lock(state->Lock);
            state->Hosts.push_back(host);
            state->Changed.notify_all();
            state->Changed.wait(lock, [&] { return state->Released; });
            return answer;
        };
    }
    // Every LookupHost from now on is held.
    void Install() const { SetLookupFunction(Function()); }

    void WaitStarted(size_t count) const {
        std::unique_lock<std::mutex> lock(FState->Lock);
        FState->Changed.wait(lock, [&] { return FState->Hosts.size() >= count; });
    }
    // The lookups begun so far.
    size_t Started() const { return Hosts().size(); }
    // The names asked for, in order.
    std::vector<std::string> Hosts() const {
        std::lock_guard<std::mutex> lock(FState->Lock);
        return FState->Hosts;
    }
    void Release() const {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Released = true;
        FState->Changed.notify_all();
    }
    // Lets every lookup go, waits until every lookup thread has ended (so
    // that nothing of the test runs after it), and puts the system's lookup back.
    void ReleaseAndRestore() const {
        Release();
        WithinMilliseconds(60000, "the abandoned lookup threads", [] {
            while (RunningLookups() != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        SetLookupFunction(nullptr);
    }

  private:
    struct TState {
        std::mutex Lock;
        std::condition_variable Changed;
        std::vector<std::string> Hosts;
        bool Released = false;
    };
    std::shared_ptr<TState> FState = std::make_shared<TState>();
    TIdLookupAnswer FAnswer;
};
