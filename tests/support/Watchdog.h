#pragma once
// Runs a body that takes locks on threads of its own under a watchdog: when it
// has not ended in time, the run stops at once with a message naming it, so a
// deadlock says what was stuck instead of waiting for the runner's time-out.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <thread>
#include <utility>

template <typename F> void WithinMilliseconds(int milliseconds, const char* what, F&& body) {
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread worker([&] {
        try {
            body();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (ended.wait_for(std::chrono::milliseconds(milliseconds)) != std::future_status::ready) {
        // The stuck thread cannot be taken back; nothing after it can run safely.
        std::fprintf(stderr, "watchdog: %s did not end within %d ms: a thread is stuck\n", what, milliseconds);
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
    ended.get();
}
