// Internet dates as servers write them (Date, Expires, Last-Modified, cookie
// expiry), and writing the value read back as a date.

#include "FuzzSupport.h"
#include "http/IdHTTPDate.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    const TDateTime value = StrInternetToDateTime(text);
    InternetDateToUnixTime(text);
    fuzz::Refused([&] { DateTimeToInternetStr(value); });
    int number = 0;
    TryDecimal(text, number);
    return 0;
}
