#pragma once
// Date-time values of the HTTP client: days since 1899-12-30 with the time of
// day as the fraction, in local time; 0 means "not set" in the header records.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using TDateTime = double;

// The local offset from UTC in effect now, as a fraction of a day. EIdException
// "Failed attempting to retrieve time zone information." when the platform cannot tell.
TDateTime LocalOffsetFromUtc();
// The current local time.
TDateTime NowLocal();
// Internet date text (RFC 1123, RFC 850, asctime and the usual sloppy forms)
// to local time. Text that does not read as a date gives 0 plus the local offset.
TDateTime StrInternetToDateTime(std::string_view text);
// The same reading as seconds since 1970-01-01 UTC, free of the local zone;
// none for text that does not read as a date.
std::optional<int64_t> InternetDateToUnixTime(std::string_view text);
// "Sun, 6 Nov 1994 08:49:37 +0800": a local time with the local offset.
std::string DateTimeToInternetStr(TDateTime value);
// Whole decimal number with an optional sign, within 32 bits; false otherwise.
bool TryDecimal(std::string_view text, int& value);
