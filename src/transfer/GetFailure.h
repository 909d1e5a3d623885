#pragma once
// How a request for a picture failed, and what that means for the picture:
// whether it is asked again, after how long, and whether its part file is
// worth continuing.

#include "core/Exceptions.h"
#include "http/IdHTTPDate.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>

// Raised from inside a transfer when the run is being stopped.
QUILLORA_EXCEPTION(EGetInterrupted, Exception);
// The part file cannot be continued: start it again from its first byte.
QUILLORA_EXCEPTION(EGetRestart, Exception);
// The reply is not a picture that can be proven whole: asking again would
// get the same, and what it brought is thrown away.
QUILLORA_EXCEPTION(EGetRefused, Exception);
// Writing the part failed (a full disk, a size limit): what it holds is good
// and is continued by a later run.
QUILLORA_EXCEPTION(EGetDisk, Exception);
// Another program (a second run on the same folder) writes the part now.
QUILLORA_EXCEPTION(EGetBusy, Exception);
// The server answered a conditional request with 304: the file stays as it is.
QUILLORA_EXCEPTION(EGetUnchanged, Exception);

// One request for the picture that did not end with the picture under its name.
struct TGetFailure {
    TGetFailure() = default;
    TGetFailure(std::exception_ptr error, bool broken = false, bool stale = false,
                std::string retryAfter = {})
        : Error(std::move(error)), Broken(broken), Stale(stale), RetryAfter(std::move(retryAfter)) {}

    std::exception_ptr Error;
    // The exchange broke off: its connection is closed and forgotten.
    bool Broken = false;
    // ... on a kept connection, before any byte of a reply: no failure of the
    // picture, which is asked once more on a new connection.
    bool Stale = false;
    // The Retry-After of a refused reply.
    std::string RetryAfter;
};

// The failure's error when it is of class E (a copy); none otherwise.
template <class E> std::optional<E> FailedWith(const TGetFailure& failure) {
    if (!failure.Error) return std::nullopt;
    try {
        std::rethrow_exception(failure.Error);
    } catch (const E& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

// What a failure means for the picture.
struct TFailureClass {
    std::string Message; // one line, for the report
    bool Retry = false;
    // What the part holds is worth continuing by a later attempt or run.
    bool KeepPart = false;
    // The server said when to ask again (429 or 503 with Retry-After), in seconds from now.
    std::optional<double> ServerWait;
};

// nowLocal: the time Retry-After is counted from.
TFailureClass ClassifyFailure(const TGetFailure& failure, TDateTime nowLocal);
