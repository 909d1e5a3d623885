// Text from outside (URLs, header lines, dates) in random shapes: every
// parser must end normally or with its own exception, never read or write
// out of bounds (the sanitizer build watches).

#include "http/IdHTTPDate.h"
#include "http/IdHeaderList.h"
#include "http/IdURI.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Bytes biased towards the characters the parsers look at.
std::string RandomText(std::mt19937& random) {
    static const std::string alphabet = ":/\\?=#@. -,\";\t\r\n0123456789abcGMT+\x81\xfe\x40";
    std::string text(random() % 40, ' ');
    for (auto& c : text)
        c = (random() % 4 == 0) ? static_cast<char>(random() & 0xFF) : alphabet[random() % alphabet.size()];
    return text;
}

} // namespace

TEST(MalformedInput, ParsersNeverFailOutsideTheirContract) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = RandomText(random);
        TIdURI url(text);
        try {
            url.PlainUrl();
        } catch (const EIdURIException&) {
        }
        ResolvePath(RandomText(random), text);
        LastPos(RandomText(random), text, static_cast<int>(random() % 50) - 1);

        TIdHeaderList headers;
        headers.FoldWidth = static_cast<int>(random() % 20);
        headers.SetText(text);
        headers.SetHeader(RandomText(random), text);
        headers.ValueOf(RandomText(random));
        WrapHeaderLine(text, static_cast<int>(random() % 10));

        StrInternetToDateTime(text);
    }
}
