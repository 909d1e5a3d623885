#pragma once
// Runs a clean-up on the way out of a scope. TScopeExit runs it on every way
// out; TScopeFail only when an exception leaves the scope. While an exception
// is on its way, a clean-up that fails is dropped: the first failure is the
// one the caller hears about (a destructor could not pass on a second one).

#include <exception>
#include <utility>

template <typename F> class TScopeGuard {
  public:
    TScopeGuard(F cleanup, bool onSuccessToo)
        : FCleanup(std::move(cleanup)), FOnSuccess(onSuccessToo), FExceptions(std::uncaught_exceptions()) {}
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;

    ~TScopeGuard() noexcept(false) {
        if (std::uncaught_exceptions() == FExceptions) {
            if (FOnSuccess) FCleanup();
            return;
        }
        try {
            FCleanup();
        } catch (...) {
        }
    }

  private:
    F FCleanup;
    bool FOnSuccess;
    int FExceptions;
};

template <typename F> TScopeGuard<F> ScopeExit(F cleanup) {
    return TScopeGuard<F>(std::move(cleanup), true);
}
template <typename F> TScopeGuard<F> ScopeFail(F cleanup) {
    return TScopeGuard<F>(std::move(cleanup), false);
}

// Sets a value for the length of a scope and puts the old one back on every way out.
template <typename T> class TRestore {
  public:
    TRestore(T& place, T value) : FPlace(place), FSaved(place) { place = value; }
    ~TRestore() { FPlace = FSaved; }
    TRestore(const TRestore&) = delete;
    TRestore& operator=(const TRestore&) = delete;

  private:
    T& FPlace;
    T FSaved;
};
