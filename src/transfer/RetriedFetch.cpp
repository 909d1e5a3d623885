#include "transfer/RetriedFetch.h"

#include "core/Classes.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "transfer/GetFailure.h"
#include "transfer/RetryPolicy.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <thread>

namespace {

// One attempt; none when text holds the whole body. A refusal keeps its
// Retry-After, which only the client that got it can still tell.
std::optional<TGetFailure> FetchOnce(const std::string& url, TStringStream& text) {
    TBoundedStream bounded(text, TextReplyLimit, url);
    TIdHTTP client;
    // Settings that cannot be applied fail the same way every time: raised, not retried.
    ApplyClientSettings(client, url);
    client.CancelSignal = FetchCancelSignal();
    const TReplyLengthHook hook(client, bounded);
    try {
        client.FetchToStream(url, bounded);
    } catch (const EIdHTTPProtocolException&) {
        return TGetFailure{std::current_exception(), true, false,
                           client.Response().HeaderLines.ValueOf("Retry-After")};
    } catch (...) {
        return TGetFailure{std::current_exception(), true};
    }
    return std::nullopt;
}

// Waits ms, unless stop is set first; false when it was.
bool WaitUnlessStopped(int ms, const std::atomic<bool>& stop) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (stop.load()) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(50), end - std::chrono::steady_clock::now()));
    }
    return !stop.load();
}

} // namespace

std::string FetchTextRetried(const std::string& url, const TTransferOptions& options,
                             const std::atomic<bool>& stop, const TRetryNote& note) {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 1;; ++attempt) {
        TStringStream text;
        const std::optional<TGetFailure> failure = FetchOnce(url, text);
        if (!failure) return text.DataString();
        const TFailureClass kind = ClassifyFailure(*failure, NowLocal());
        if (stop.load() || !RetryAgain(kind, attempt, options)) std::rethrow_exception(failure->Error);
        const int wait = RetryWaitMs(kind, attempt, options, random);
        if (note)
            note(url, Format("attempt %d failed (%s); next in %.1f s", attempt, kind.Message.c_str(),
                             wait / 1000.0));
        if (!WaitUnlessStopped(wait, stop)) std::rethrow_exception(failure->Error);
    }
}
