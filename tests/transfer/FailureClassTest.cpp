// What a failed request means for a picture: asked again or not, its part
// kept or not, and a busy server's word on when to come back. A failure put
// in the wrong class either hammers a server that will never answer, or
// gives up (and throws away bytes) where one more try would have done.

#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "http/IdURI.h"
#include "http/ZoneGuard.h"
#include "net/IdException.h"
#include "net/IdSSLContext.h"
#include "net/IdStack.h"
#include "transfer/GetFailure.h"
#include "transfer/StallWatchdog.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

template <class E, class... A> TGetFailure Failure(A&&... args) {
    return {std::make_exception_ptr(E(std::forward<A>(args)...))};
}

TGetFailure Refused(int code, const char* retryAfter = "") {
    TGetFailure failure =
        Failure<EIdHTTPProtocolException>(code, "HTTP/1.1 " + std::to_string(code) + " X", "");
    failure.RetryAfter = retryAfter;
    return failure;
}

} // namespace

TEST(FailureClass, RetryAndPartByFailure) {
    struct TCase {
        const char* Name;
        TGetFailure Failure;
        bool Retry, KeepPart;
    } cases[] = {
        // The server: some statuses pass, others never will.
        {"503", Refused(503), true, true},
        {"500", Refused(500), true, true},
        {"408", Refused(408), true, true},
        {"404", Refused(404), false, false},
        {"403", Refused(403), false, false},
        {"410", Refused(410), false, false},
        // Nothing the server could send would do.
        {"too large", Failure<EIdReplyTooLarge>("Download of u refused: it is larger than 1 GiB"), false,
         false},
        {"bad address", Failure<EIdURIException>("bad"), false, false},
        {"scheme", Failure<EIdUnknownProtocol>("gopher"), false, false},
        {"redirect refused", Failure<EIdRedirectRefused>("to file:"), false, false},
        {"tls refused", Failure<EIdSSLProtocolReplyError>("certificate"), false, false},
        // Refused before the body touched the part, or the disk: the part stays good.
        {"not provable", Failure<EGetRefused>("The server sent no picture"), false, true},
        {"busy", Failure<EGetBusy>("being written by another program"), false, true},
        {"disk", Failure<EGetDisk>("Cannot write"), false, true},
        {"create", Failure<EFCreateError>("Cannot create file"), false, true},
        {"in out", TGetFailure{std::make_exception_ptr(EInOutError("I/O error", 5))}, false, true},
        // The connection: asked again from where the part ends.
        {"reset",
         Failure<EIdSocketError>(Id_WSAECONNRESET, "Socket Error # 10054\r\nConnection reset by peer."), true,
         true},
        {"closed", Failure<EIdConnClosedGracefully>("Connection Closed Gracefully."), true, true},
        {"timeout", Failure<EIdReadTimeout>("Read timed out."), true, true},
        {"cut short", Failure<EIdException>("The connection ended after 5 of 9 bytes"), true, true},
        {"trickle", Failure<EGetTooSlow>("Slower than 1000 bytes a second for 30 seconds (5 bytes a second)"),
         true, true},
        // No failure of ours: not asked again, nothing kept.
        {"foreign", Failure<std::runtime_error>("odd"), false, false},
    };
    for (const TCase& c : cases) {
        const TFailureClass kind = ClassifyFailure(c.Failure, 0);
        EXPECT_EQ(kind.Retry, c.Retry) << c.Name;
        EXPECT_EQ(kind.KeepPart, c.KeepPart) << c.Name;
        EXPECT_FALSE(kind.ServerWait) << c.Name;
    }
}

TEST(FailureClass, MessageIsOneLine) {
    struct TCase {
        TGetFailure Failure;
        const char* Message;
    } cases[] = {
        {Failure<EIdSocketError>(Id_WSAECONNRESET, "Socket Error # 10054\r\nConnection reset by peer."),
         "Socket Error # 10054 Connection reset by peer."},
        // A server's words keep their line breaks, for the front end to escape.
        {Refused(404), "HTTP/1.1 404 X"},
        {Failure<EGetRefused>("The server answered \"HTTP/1.1 200\r\n\" instead"),
         "The server answered \"HTTP/1.1 200\r\n\" instead"},
        {Failure<std::runtime_error>("odd"), "odd"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ClassifyFailure(c.Failure, 0).Message, c.Message);
}

// Only a busy server's Retry-After is heeded; "now" is counted here, not
// read by the date parser that reads the header.
TEST(FailureClass, RetryAfterOnlyFromABusyServer) {
    TZoneGuard zone("UTC0");
    const TDateTime now = 25569.0 + 1796644800.0 / 86400.0; // Mon, 07 Dec 2026 12:00:00 GMT
    struct TCase {
        TGetFailure Failure;
        std::optional<double> Wait;
    } cases[] = {
        {Refused(503, "7"), 7.0},
        {Refused(429, "Mon, 07 Dec 2026 12:01:00 GMT"), 60.0},
        {Refused(429, "Mon, 07 Dec 2026 11:00:00 GMT"), 0.0},
        {Refused(503, ""), std::nullopt},
        {Refused(503, "soon"), std::nullopt},
        {Refused(500, "7"), std::nullopt},
        {Refused(404, "7"), std::nullopt},
        {[] {
             TGetFailure f = Failure<EIdSocketError>(Id_WSAECONNRESET, "reset");
             f.RetryAfter = "7";
             return f;
         }(),
         std::nullopt},
    };
    for (const TCase& c : cases) {
        const std::optional<double> wait = ClassifyFailure(c.Failure, now).ServerWait;
        ASSERT_EQ(wait.has_value(), c.Wait.has_value()) << c.Failure.RetryAfter;
        if (wait) {
            EXPECT_NEAR(*wait, *c.Wait, 0.01) << c.Failure.RetryAfter;
        }
    }
}

TEST(FailureClass, FailedWithFindsTheClass) {
    const TGetFailure restart = Failure<EGetRestart>("the picture changed on the server");
    ASSERT_TRUE(FailedWith<EGetRestart>(restart));
    EXPECT_EQ(FailedWith<EGetRestart>(restart)->Message(), "the picture changed on the server");
    EXPECT_TRUE(FailedWith<Exception>(restart)); // a base class finds it too
    EXPECT_FALSE(FailedWith<EGetUnchanged>(restart));
    EXPECT_FALSE(FailedWith<EGetRestart>(TGetFailure{}));
    EXPECT_EQ(FailedWith<EIdHTTPProtocolException>(Refused(416))->ReplyCode, 416);
}
