#include "http/IdHTTPDate.h"

#include "core/TextUtils.h"
#include "http/IdURI.h"
#include "net/IdException.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>

namespace {

constexpr double UnixEpochDays = 25569.0; // 1970-01-01 as a date-time
constexpr std::array<const char*, 7> DayNames = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr std::array<const char*, 12> MonthNames = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::array<const char*, 7> DayWords = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> MonthWords = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Any step of the reading that fails ends in the raw value 0.
struct TBadDate {};

std::string TrimLeft(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= 0x20)
        ++i;
    return std::string(s.substr(i));
}

int MonthOf(std::string_view word) {
    for (size_t i = 0; i < MonthNames.size(); ++i)
        if (SameText(word, MonthNames[i])) return static_cast<int>(i) + 1;
    return 0;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : days[m - 1];
}

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
double EncodeDate(int y, int m, int d) {
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) throw TBadDate{};
    const int64_t yy = m <= 2 ? y - 1 : y;
    const int64_t era = yy / 400;
    const int64_t yoe = yy - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t daysFromUnix = era * 146097 + doe - 719468;
    return static_cast<double>(daysFromUnix) + UnixEpochDays;
}

double EncodeTime(int h, int n, int s) {
    if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59) throw TBadDate{};
    return (h * 3600.0 + n * 60.0 + s) / 86400.0;
}

// "+hhmm" / "-hhmm" as a fraction of a day; any other zone counts as 0.
double ZoneOffset(const std::string& zone) {
    std::string z = TextTrim(zone);
    if (zone.size() <= 4 || z.size() < 5) return 0;
    if (z[0] != '+' && z[0] != '-') return 0;
    // Unsigned, so that a second sign is no digit.
    unsigned hhmm = 0;
    const auto [at, error] = std::from_chars(z.data() + 1, z.data() + 5, hhmm);
    if (error != std::errc{} || at != z.data() + 5) return 0;
    const double offset = (hhmm / 100 * 60 + hhmm % 100) / 1440.0;
    return z[0] == '+' ? offset : -offset;
}

// The steps up to the zone: answers the date-time as written, and the zone
// text. Sloppy, a day or a time field that is no number counts as 1 or 0, as
// the client always read them; strict, it is no date.
double ReadRawDate(std::string text, std::string& zone, bool strict = false) {
    const auto number = [strict](std::string_view field, int fallback) {
        int v = 0;
        if (TryDecimal(field, v)) return v;
        if (strict) throw TBadDate{};
        return fallback;
    };
    text = TextTrim(text);
    if (text.empty()) throw TBadDate{};
    for (const char* day : DayNames)
        if (text.size() >= 3 && SameText(text.substr(0, 3), day)) {
            SplitAt(text, " ");
            text = TrimLeft(text);
            break;
        }
    const int dash = MbPos("-", text);
    const int space = MbPos(" ", text);
    const std::string separator = (dash >= 2 && (space == 0 || dash < space)) ? "-" : " ";

    int day = 0, month = 0;
    auto readPart = [&] {
        std::string part = SplitAt(text, separator);
        text = TrimLeft(text);
        return part;
    };
    std::string first = readPart();
    if (MonthOf(first) > 0) {
        month = MonthOf(first);
        day = number(readPart(), 1);
    } else {
        day = number(first, 1);
        month = MonthOf(readPart());
    }

    std::string word = SplitAt(text, " ");
    std::string timeWord;
    int year = 0;
    if (!TryDecimal(word, year)) {
        // asctime puts the time before the year.
        if (!TryDecimal(TextTrim(text), year)) throw TBadDate{};
        timeWord = word;
        text.clear();
    } else if (MbPos(":", text) > 0) {
        timeWord = SplitAt(text, " ");
    }
    if (year < 80)
        year += 2000;
    else if (year < 100)
        year += 1900;

    double value = EncodeDate(year, month, day);
    if (MbPos(":", timeWord) > 0) {
        const int h = number(SplitAt(timeWord, ":"), 0);
        const int n = number(SplitAt(timeWord, ":"), 0);
        const int s = number(timeWord, 0);
        value += EncodeTime(h, n, s);
    }
    zone = TrimLeft(text);
    return value;
}

} // namespace

bool TryDecimal(std::string_view text, int& value) {
    // One sign at most, "+" included; the digits after it carry no sign.
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') return false;
    }
    int v = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc{} || at != end) return false;
    value = v;
    return true;
}

TDateTime LocalOffsetFromUtc() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr)
        throw EIdException("Failed attempting to retrieve time zone information.");
    return static_cast<double>(local.tm_gmtoff) / 86400.0;
}

TDateTime NowLocal() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const double utc = (static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9) / 86400.0 + UnixEpochDays;
    return utc + LocalOffsetFromUtc();
}

TDateTime StrInternetToDateTime(std::string_view text) {
    double raw = 0;
    std::string zone;
    try {
        raw = ReadRawDate(std::string(text), zone);
    } catch (const TBadDate&) {
        raw = 0;
        zone.clear();
    }
    return raw - ZoneOffset(zone) + LocalOffsetFromUtc();
}

std::optional<int64_t> InternetDateToUnixTime(std::string_view text) {
    std::string zone;
    try {
        // A file's time from a date with a field that is no number would be
        // a plausible wrong time: such a date is none.
        const double utc = ReadRawDate(std::string(text), zone, true) - ZoneOffset(zone);
        return static_cast<int64_t>(std::llround((utc - UnixEpochDays) * 86400.0));
    } catch (const TBadDate&) {
        return std::nullopt;
    }
}

std::string DateTimeToInternetStr(TDateTime value) {
    // Outside years 1..9999 there is no date to write; such a value is a caller's slip.
    if (!std::isfinite(value) || value < -693593.0 || value >= 2958466.0) value = 0;
    const double days = std::floor(value);
    const auto daysFromUnix = static_cast<int64_t>(days - UnixEpochDays);
    // Civil date from a day count (proleptic Gregorian).
    const int64_t z = daysFromUnix + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    const int weekday = static_cast<int>(((daysFromUnix % 7) + 7 + 4) % 7); // 1970-01-01 was a Thursday

    auto secs = static_cast<int64_t>(std::llround((value - days) * 86400.0));
    if (secs >= 86400) secs = 86399;
    const auto offsetMinutes = static_cast<int64_t>(std::llround(LocalOffsetFromUtc() * 1440.0));
    const int64_t absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return Format("%s, %d %s %d %02d:%02d:%02d %c%02d%02d", DayWords[static_cast<size_t>(weekday)], d,
                  MonthWords[static_cast<size_t>(m - 1)], y, static_cast<int>(secs / 3600),
                  static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
                  offsetMinutes < 0 ? '-' : '+', static_cast<int>(absOffset / 60),
                  static_cast<int>(absOffset % 60));
}
