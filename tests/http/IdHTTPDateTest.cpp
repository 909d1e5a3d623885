#include "http/IdHTTPDate.h"

#include "ZoneGuard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// 1994-11-06 as a date-time.
constexpr double Nov6th1994 = 34644.0;
constexpr double Time084937 = (8 * 3600 + 49 * 60 + 37) / 86400.0;

} // namespace

TEST(IdHTTPDate, ReadsTheThreeClassicForms) {
    TZoneGuard zone("UTC0");
    for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994", "  sUN, 6 nov 1994 08:49:37  "})
        EXPECT_NEAR(StrInternetToDateTime(text), Nov6th1994 + Time084937, 1e-9) << text;
}

TEST(IdHTTPDate, AppliesZonesAndTheLocalOffset) {
    TZoneGuard zone("CST-8");
    const double local = Nov6th1994 + Time084937;
    EXPECT_NEAR(StrInternetToDateTime("Sun, 06 Nov 1994 08:49:37 GMT"), local + 8 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("Sun, 06 Nov 1994 08:49:37 +0100"), local + 7 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("Sun, 06 Nov 1994 08:49:37 -0130"), local + 9.5 / 24.0, 1e-9);
    // Nothing readable: the raw 0 still gets the local offset.
    EXPECT_NEAR(StrInternetToDateTime(""), 8 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("-1"), 8 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("06 Foo 1994"), 8 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("31 Feb 1994"), 8 / 24.0, 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("06 Nov 1994 25:00:00"), 8 / 24.0, 1e-9);
}

TEST(IdHTTPDate, YearsAndOddFields) {
    TZoneGuard zone("UTC0");
    EXPECT_NEAR(StrInternetToDateTime("1 Jan 79"), StrInternetToDateTime("1 Jan 2079"), 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("1 Jan 80"), StrInternetToDateTime("1 Jan 1980"), 1e-9);
    // A day that is not a number reads as 1; a bad time field reads as 0.
    EXPECT_NEAR(StrInternetToDateTime("xx Jan 2000"), StrInternetToDateTime("1 Jan 2000"), 1e-9);
    EXPECT_NEAR(StrInternetToDateTime("1 Jan 2000 aa:30:00"), StrInternetToDateTime("1 Jan 2000") + 0.5 / 24,
                1e-9);
}

TEST(IdHTTPDate, WritesTheHeaderForm) {
    TZoneGuard zone("CST-8");
    EXPECT_EQ(DateTimeToInternetStr(Nov6th1994 + Time084937), "Sun, 6 Nov 1994 08:49:37 +0800");
    TZoneGuard west("EST5");
    EXPECT_EQ(DateTimeToInternetStr(36526.5), "Sat, 1 Jan 2000 12:00:00 -0500");
    EXPECT_EQ(DateTimeToInternetStr(NAN), "Sat, 30 Dec 1899 00:00:00 -0500");
}

TEST(IdHTTPDate, TryDecimalBounds) {
    int v = 0;
    EXPECT_TRUE(TryDecimal("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(TryDecimal("-2147483648", v));
    EXPECT_EQ(v, -2147483647 - 1);
    EXPECT_FALSE(TryDecimal("2147483648", v));
    EXPECT_FALSE(TryDecimal("99999999999999999999", v));
    EXPECT_FALSE(TryDecimal("12a", v));
    EXPECT_FALSE(TryDecimal("", v));
    EXPECT_FALSE(TryDecimal("-", v));
}

TEST(IdHTTPDate, TryDecimalSignsBlanksAndZeros) {
    struct TCase {
        const char* Text;
        bool Read;
        int Value;
    } cases[] = {
        {"+5", true, 5},
        {"-0", true, 0},
        {"+0", true, 0},
        {"007", true, 7},
        {"0000000000002147483647", true, 2147483647},
        {"-0000000000002147483648", true, -2147483647 - 1},
        {"+2147483647", true, 2147483647},
        {"+2147483648", false, 0},
        {"-2147483649", false, 0},
        {"+", false, 0},
        {"+-5", false, 0},
        {"-+5", false, 0},
        {"--5", false, 0},
        {"++5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"5\t", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"\xd9\xa3", false, 0},
    };
    for (const TCase& c : cases) {
        int v = -99;
        EXPECT_EQ(TryDecimal(c.Text, v), c.Read) << c.Text;
        EXPECT_EQ(v, c.Read ? c.Value : -99) << c.Text; // untouched when not read
    }
}

TEST(IdHTTPDate, ZonesNeedASignAndFourDigits) {
    TZoneGuard zone("UTC0");
    const double base = Nov6th1994 + Time084937;
    struct TCase {
        const char* Zone;
        double Hours; // east of Greenwich
    } cases[] = {
        {"+0000", 0},  {"+0130", 1.5}, {"-0130", -1.5}, {"+2359", 23 + 59 / 60.0}, {"-9999", -(99 + 99 / 60.0)},
        {"+01300", 1.5}, {"+-130", 0},  {"++130", 0},     {"-+130", 0},           {"+01a0", 0},
        {"+013", 0},   {"0130", 0},    {"+ 130", 0},     {"GMT", 0},
    };
    for (const TCase& c : cases)
        EXPECT_NEAR(StrInternetToDateTime(std::string("Sun, 06 Nov 1994 08:49:37 ") + c.Zone),
                    base - c.Hours / 24.0, 1e-9)
            << c.Zone;
}

// A file's time is set from the reply's date whatever zone the user is in;
// text that is no date gives none, never the epoch nor a guessed field.
TEST(IdHTTPDate, UnixTimeIsFreeOfTheLocalZone) {
    TZoneGuard zone("CST-8");
    constexpr int64_t Nov6th1994At084937 = 784111777;
    const struct {
        const char* Text;
        std::optional<int64_t> Seconds;
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", Nov6th1994At084937},
        {"Sunday, 06-Nov-94 08:49:37 GMT", Nov6th1994At084937},
        {"Sun Nov  6 08:49:37 1994", Nov6th1994At084937},
        {"Sun, 06 Nov 1994 09:49:37 +0100", Nov6th1994At084937},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Sun, 01 Nov 2026 08:00:00 GMT", 1793520000},
        {"", std::nullopt},
        {"yesterday", std::nullopt},
        {"31 Feb 1994 08:49:37 GMT", std::nullopt},
        {"06 Nov 1994 25:00:00 GMT", std::nullopt},
        {"06 Foo 1994", std::nullopt},
        // Fields the sloppy reading takes as 1 or 0: here no date at all.
        {"Sun, xx Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:xx:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:3x GMT", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InternetDateToUnixTime(c.Text), c.Seconds) << c.Text;
}
