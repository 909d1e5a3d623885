// The download engine's rules that need no server: how long to wait before
// asking again, the temporary names of files on their way, and rates.

#include "core/Exceptions.h"
#include "http/ZoneGuard.h"
#include "transfer/GetFailure.h"
#include "transfer/PartFile.h"
#include "transfer/RatePacer.h"
#include "transfer/RetryPolicy.h"
#include "transfer/TransferJob.h"

#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>

TEST(RetryPolicy, RetryAfterValues) {
    // "Now" is Mon, 07 Dec 2026 12:00:00 GMT, counted here rather than read by
    // the date parser under test: days since 30 Dec 1899, in a zone 8 hours east.
    TZoneGuard zone("CST-8");
    const TDateTime now = 25569.0 + 1796644800.0 / 86400.0 + 8.0 / 24.0;
    struct TCase {
        const char* Value;
        std::optional<double> Seconds;
    } cases[] = {
        {"3", 3.0},
        {" 120 ", 120.0},
        {"0", 0.0},
        {"Mon, 07 Dec 2026 12:00:30 GMT", 30.0},
        {"Mon, 07 Dec 2026 11:00:00 GMT", 0.0}, // past: at once
        {"99999999999999999999", 1e9},          // no overflow
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"soon", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const TCase& c : cases) {
        const std::optional<double> got = RetryAfterSeconds(c.Value, now);
        ASSERT_EQ(got.has_value(), c.Seconds.has_value()) << c.Value;
        if (got) {
            EXPECT_NEAR(*got, *c.Seconds, 0.01) << c.Value;
        }
    }
}

TEST(RetryPolicy, BackoffDoublesWithinJitterAndCap) {
    std::mt19937 random(7);
    struct TCase {
        int Attempt, Base, Cap, Low, High;
    } cases[] = {{1, 1000, 60000, 500, 1000},  {2, 1000, 60000, 1000, 2000}, {4, 1000, 60000, 4000, 8000},
                 {30, 1000, 5000, 2500, 5000}, {1, 0, 5000, 0, 0},           {3, 100, 0, 0, 0}};
    for (const TCase& c : cases)
        for (int k = 0; k < 50; ++k) {
            const int wait = BackoffMs(c.Attempt, c.Base, c.Cap, random);
            EXPECT_GE(wait, c.Low) << c.Attempt;
            EXPECT_LE(wait, c.High) << c.Attempt;
        }
    for (int code : {408, 429, 500, 502, 503, 504})
        EXPECT_TRUE(RetryableStatus(code)) << code;
    for (int code : {301, 400, 401, 403, 404, 410, 416})
        EXPECT_FALSE(RetryableStatus(code)) << code;
}

// Pictures and the lookups before them ask again by one rule: while the
// failure is worth it and --retries lasts, after the server's wait when it
// named one (never past the longest wait), else after the back-off.
TEST(RetryPolicy, AgainAndHowLongAfter) {
    TTransferOptions options;
    options.Retries = 2;
    options.BackoffMs = 1000;
    options.MaxWaitSeconds = 10;
    struct TCase {
        bool Retry;
        int Attempt;
        std::optional<double> ServerWait;
        bool Again;
        int Low, High;
    } cases[] = {
        {true, 1, std::nullopt, true, 500, 1000}, {true, 2, std::nullopt, true, 1000, 2000},
        {true, 3, std::nullopt, false, 0, 0},     {false, 1, std::nullopt, false, 0, 0},
        {true, 1, 3.0, true, 3000, 3000},         {true, 2, 0.0, true, 0, 0},
        {true, 1, 3600.0, true, 10000, 10000},    {true, 1, 1e9, true, 10000, 10000},
    };
    std::mt19937 random(3);
    for (const TCase& c : cases) {
        TFailureClass failure;
        failure.Retry = c.Retry;
        failure.ServerWait = c.ServerWait;
        EXPECT_EQ(RetryAgain(failure, c.Attempt, options), c.Again) << c.Attempt;
        if (!c.Again) continue;
        const int wait = RetryWaitMs(failure, c.Attempt, options, random);
        EXPECT_GE(wait, c.Low) << c.Attempt;
        EXPECT_LE(wait, c.High) << c.Attempt;
    }
    options.Retries = 0;
    TFailureClass worth;
    worth.Retry = true;
    EXPECT_FALSE(RetryAgain(worth, 1, options));
}

// Temporary names: short whatever the picture's name, the same every time,
// never the same for two names, never a name a picture may take.
TEST(PartFile, NamesNeverCollideAndStayShort) {
    const std::string longName(255 - 4, '\xb0');
    const std::vector<std::string> paths{
        "d/Pic/a/p.jpg", "d/Pic/a/p.jpg.part",           "d/Pic/a/p.jpg.part.part",
        "d/Pic/a/P.jpg", "d/Pic/a/" + longName + ".jpg", "d/Pic/b/p.jpg"};
    std::set<std::string> parts;
    for (const std::string& path : paths) {
        const std::string part = PartPathFor(path);
        const std::string folder = path.substr(0, path.rfind('/') + 1);
        const std::string name = part.substr(folder.size());
        EXPECT_EQ(part.substr(0, folder.size()), folder) << path; // beside the picture, for the rename
        EXPECT_LE(name.size(), 60u) << path;
        EXPECT_TRUE(IsPartFileName(name)) << path;
        EXPECT_EQ(PartPathFor(path), part) << path; // a later run finds it again
        parts.insert(name);
    }
    EXPECT_EQ(parts.size(), paths.size() - 1); // p.jpg in two folders: one name, two folders
    for (const char* name :
         {"p.jpg.part", ".quillora-.part", ".quillora-0123456789abcdef0123456789abcdeX.part",
          ".quillora-0123456789ABCDEF0123456789ABCDEF.part", "x.quillora-0.part"})
        EXPECT_FALSE(IsPartFileName(name)) << name;
}

// Part files left by an earlier run are found again by name: the name of a
// given picture never changes from one build to the next.
TEST(PartFile, NamesStayTheSameAcrossBuilds) {
    struct TCase {
        std::string Path, Part;
    } cases[] = {
        {"d/Pic/a/p.jpg", "d/Pic/a/.quillora-796a454f6b954ea20d25eda38f3cec3b.part"},
        {"p.jpg", ".quillora-796a454f6b954ea20d25eda38f3cec3b.part"},
        {"d/\xb2\xbb\xce\xc8.jpg", "d/.quillora-d005ab7e863097e17e16ba02b60403e5.part"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(PartPathFor(c.Path), c.Part) << c.Path;
}

TEST(RateLimit, ParsesRates) {
    struct TCase {
        const char* Text;
        std::optional<double> Rate;
    } cases[] = {
        {"0", 0.0},
        {"500", 500.0},
        {"500k", 512000.0},
        {"500K", 512000.0},
        {"1M", 1048576.0},
        {"1.5m", 1572864.0},
        {" 2k ", 2048.0},
        {".5k", 512.0},
        {"", std::nullopt},
        {"k", std::nullopt},
        {"-1", std::nullopt},
        {"1G", std::nullopt},
        {"1kb", std::nullopt},
        {"fast", std::nullopt},
        {"1e400", std::nullopt},
        {"nan", std::nullopt},
    };
    for (const TCase& c : cases) {
        const std::optional<double> got = ParseRate(c.Text);
        ASSERT_EQ(got.has_value(), c.Rate.has_value()) << c.Text;
        if (got) {
            EXPECT_DOUBLE_EQ(*got, *c.Rate) << c.Text;
        }
    }
}
