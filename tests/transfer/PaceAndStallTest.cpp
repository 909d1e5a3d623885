// --limit-rate's pacer and --min-speed's judgement, on made-up clocks: what
// is decided for a given history of bytes and holds, never how long anything
// took here.

#include "transfer/RatePacer.h"
#include "transfer/StallWatchdog.h"

#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const TClock::time_point T0 = TClock::time_point(std::chrono::hours(1));

} // namespace

TEST(RatePacer, BooksEveryByteOnOneTimeLine) {
    struct TStep {
        int AtMs;
        int64_t Bytes;
        int UntilMs; // when the receiver may go on
    };
    struct TCase {
        const char* Name;
        double Rate;
        std::vector<TStep> Steps;
    } cases[] = {
        {"back to back", 1000, {{0, 100, 100}, {0, 100, 200}, {50, 1000, 1200}}},
        // Two workers share the one line: the second waits behind the first.
        {"shared", 2000, {{0, 1000, 500}, {10, 1000, 1000}, {600, 200, 1100}}},
        // After a pause, a tenth of a second is made up at once, no more.
        {"burst after a pause", 1000, {{0, 100, 100}, {10000, 100, 10000}, {10000, 100, 10100}}},
        {"slower than the rate", 1000, {{0, 50, 50}, {1000, 50, 950}, {2000, 50, 1950}}},
    };
    for (const TCase& c : cases) {
        TRatePacer pacer;
        pacer.SetRate(c.Rate, T0);
        for (const TStep& s : c.Steps)
            EXPECT_EQ(pacer.Book(s.Bytes, T0 + milliseconds(s.AtMs)), T0 + milliseconds(s.UntilMs))
                << c.Name << " at " << s.AtMs;
    }
}

TEST(RatePacer, NoRateHoldsNothingAndANewRateStartsAfresh) {
    TRatePacer pacer;
    EXPECT_LE(pacer.Book(int64_t{1} << 40, T0), T0); // never set
    pacer.SetRate(1000, T0);
    EXPECT_EQ(pacer.Book(20000, T0), T0 + milliseconds(20000));
    pacer.SetRate(0, T0 + milliseconds(100));
    EXPECT_LE(pacer.Book(20000, T0 + milliseconds(100)), T0 + milliseconds(100));
    // The debt booked under the old rate is not carried into the new one.
    pacer.SetRate(1000, T0 + milliseconds(200));
    EXPECT_EQ(pacer.Book(100, T0 + milliseconds(200)), T0 + milliseconds(300));
}

namespace {

// A transfer's history, tick by tick (a tenth of a second, as the watchdog
// looks): bytes arrive, then the watchdog judges. The first tick (in ms) at
// which the transfer is judged slow; none within the history.
struct THistory {
    double MinSpeed = 1000;
    double WindowSeconds = 1;
    int LengthMs = 4000;
    int64_t (*BytesAt)(int ms) = [](int) -> int64_t { return 0; };
    int HoldFromMs = -1, HoldToMs = -1; // the rate limit holds the transfer
};

std::optional<int> FirstSlowTick(const THistory& h) {
    TStallClock clock(h.MinSpeed, h.WindowSeconds, T0);
    for (int ms = 100; ms <= h.LengthMs; ms += 100) {
        const TClock::time_point now = T0 + milliseconds(ms);
        if (ms == h.HoldFromMs) clock.Hold(now);
        if (ms == h.HoldToMs) clock.Release(now);
        clock.Received(h.BytesAt(ms));
        if (clock.Slow(now)) return ms;
    }
    return std::nullopt;
}

} // namespace

TEST(StallClock, JudgesTheLastWindowOnTheTransfersOwnClock) {
    struct TCase {
        const char* Name;
        THistory History;
        std::optional<int> SlowAt;
    } cases[] = {
        {"nothing ever", {}, 1000},
        {"fast", {.BytesAt = [](int) -> int64_t { return 500; }}, std::nullopt},
        {"exactly the minimum", {.BytesAt = [](int) -> int64_t { return 100; }}, std::nullopt},
        {"just below", {.BytesAt = [](int) -> int64_t { return 99; }}, 1000},
        {"fast, then nothing", {.BytesAt = [](int ms) -> int64_t { return ms <= 1000 ? 1000 : 0; }}, 2000},
        // Trickles at first, then picks up within the first window: the
        // window has to be whole before anything is judged.
        {"late start", {.BytesAt = [](int ms) -> int64_t { return ms == 900 ? 1000 : 0; }}, 1900},
        {"a longer window",
         {.WindowSeconds = 3, .LengthMs = 6000, .BytesAt = [](int) -> int64_t { return 0; }},
         3000},
        // Held by the rate limit from 0.2 s to 5.2 s: its clock stands still,
        // and its first whole window ends at 6 s.
        {"held by the rate limit", {.LengthMs = 8000, .HoldFromMs = 200, .HoldToMs = 5200}, 6000},
        {"held to the end", {.LengthMs = 8000, .HoldFromMs = 200}, std::nullopt},
    };
    for (const TCase& c : cases) {
        const std::optional<int> got = FirstSlowTick(c.History);
        EXPECT_EQ(got, c.SlowAt) << c.Name;
    }
}

TEST(StallClock, SpeedIsOverTheLastWindow) {
    TStallClock clock(1000, 1, T0);
    for (int ms = 100; ms <= 2000; ms += 100) {
        clock.Received(ms <= 1000 ? 1000 : 50);
        clock.Slow(T0 + milliseconds(ms));
    }
    EXPECT_DOUBLE_EQ(clock.Speed(), 500); // 10 ticks of 50 bytes in the last second
}

TEST(StallWatch, PieceSizeKeepsWithinBounds) {
    struct TCase {
        double MinSpeed, Seconds;
        int Piece;
    } cases[] = {{1000, 30, 3750}, {1, 1, 1024}, {1e9, 30, 32768}, {8192, 1, 1024}, {8192, 8, 8192}};
    for (const TCase& c : cases)
        EXPECT_EQ(PieceSizeFor(c.MinSpeed, c.Seconds), c.Piece) << c.MinSpeed << " " << c.Seconds;
}
