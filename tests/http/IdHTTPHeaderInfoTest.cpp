// The header records: every request header row in its place, and reply
// headers read into fields.

#include "http/IdHTTP.h"

#include "ZoneGuard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdint>
#include <ctime>

TEST(IdHTTPHeaderInfo, ComposesEveryRowInOrder) {
    TZoneGuard zone("CST-8");
    TIdHTTP client;
    TIdHTTPRequest& r = client.Request();
    r.Connection = "keep-alive";
    r.ContentVersion = "1";
    r.ContentEncoding = "gzip";
    r.ContentLanguage = "zh";
    r.SetContentLength(12);
    r.CacheControl = "no-cache";
    r.Date = 34644.0 + 0.5;
    r.Expires = 34645.0;
    r.Pragma = "no-cache";
    r.CustomHeaders.Add("X-Custom: 1");
    r.CustomHeaders.Add("accept: replaced in place");
    r.ProxyConnection = "keep-alive";
    r.Host = "server";
    r.AcceptCharSet = "gbk";
    r.AcceptEncoding = "identity";
    r.AcceptLanguage = "zh-cn";
    r.From = "me@here";
    r.Referer = "http://server/";
    r.LastModified = 34644.0;
    r.ContentRangeStart = 100;
    r.Username = "user";
    r.Password = "";
    r.BasicAuthentication = true;
    r.ComposeHeaders();
    EXPECT_EQ(r.HeaderLines.Text(), "Connection: keep-alive\r\n"
                                    "Content-Version: 1\r\n"
                                    "Content-Encoding: gzip\r\n"
                                    "Content-Language: zh\r\n"
                                    "Content-Type: text/html\r\n"
                                    "Content-Length: 12\r\n"
                                    "Cache-control: no-cache\r\n"
                                    "Date: Sun, 6 Nov 1994 12:00:00 +0800\r\n"
                                    "Expires: Mon, 7 Nov 1994 00:00:00 +0800\r\n"
                                    "Pragma: no-cache\r\n"
                                    "X-Custom: 1\r\n"
                                    "Accept: text/html, */*\r\n"
                                    "Proxy-Connection: keep-alive\r\n"
                                    "Host: server\r\n"
                                    "Accept-Charset: gbk\r\n"
                                    "Accept-Encoding: identity\r\n"
                                    "Accept-Language: zh-cn\r\n"
                                    "From: me@here\r\n"
                                    "Referer: http://server/\r\n"
                                    "User-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n"
                                    "If-Modified-Since: Sun, 6 Nov 1994 00:00:00 +0800\r\n"
                                    "Range: bytes=100-\r\n"
                                    "Authorization: Basic dXNlcjo=\r\n");
    r.ContentRangeEnd = 199;
    r.ComposeHeaders();
    EXPECT_EQ(r.HeaderLines.ValueOf("range"), "bytes=100-199");
}

TEST(IdHTTPHeaderInfo, ParsesReplyFields) {
    TZoneGuard zone("UTC0");
    TIdHTTP client;
    TIdHTTPResponse& r = client.Response();
    r.HeaderLines.SetText(
        "Location: /next\r\nServer: test\r\nProxy-Connection: close\r\n"
        "Content-Range: bytes 100-199/1000\r\nWWW-Authenticate: Basic realm=\"a\"\r\n"
        "www-authenticate: Digest x\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
        "Connection: keep-alive\r\nContent-Type: image/jpeg\r\nContent-Encoding: gzip\r\n"
        "Content-Length:  42 \r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
        "Last-Modified: Sat, 05 Nov 1994 00:00:00 GMT\r\nExpires: 3600\r\nPragma: no-cache\r\n");
    r.ParseHeaders();
    EXPECT_EQ(r.Location, "/next");
    EXPECT_EQ(r.Server, "test");
    EXPECT_EQ(r.ProxyConnection, "close");
    EXPECT_EQ(r.ContentRangeStart, 100);
    EXPECT_EQ(r.ContentRangeEnd, 199);
    ASSERT_EQ(r.WWWAuthenticate.Count(), 2);
    EXPECT_EQ(r.WWWAuthenticate[1], "Digest x");
    EXPECT_EQ(r.ProxyAuthenticate.Text(), "Basic realm=\"p\"\r\n");
    EXPECT_EQ(r.Connection, "keep-alive");
    EXPECT_EQ(r.ContentType, "image/jpeg");
    EXPECT_EQ(r.ContentEncoding, "gzip");
    EXPECT_EQ(r.ContentLength(), 42);
    EXPECT_TRUE(r.LengthKnown());
    EXPECT_NEAR(r.Date, 34644.0 + (8 * 3600 + 49 * 60 + 37) / 86400.0, 1e-9);
    EXPECT_NEAR(r.LastModified, 34643.0, 1e-9);
    EXPECT_NEAR(r.Expires, NowLocal() + 1.0 / 24, 1e-4);
    EXPECT_EQ(r.Pragma, "no-cache");

    r.HeaderLines.SetText("Expires: -1\r\nContent-Length: 12abc\r\n");
    r.ParseHeaders();
    EXPECT_NEAR(r.Expires, 0.0, 1e-9);
    EXPECT_EQ(r.ContentLength(), -1);
    EXPECT_FALSE(r.LengthKnown());
    EXPECT_EQ(r.FramingError, "its Content-Length \"12abc\" is not a length");
    EXPECT_EQ(r.ContentRangeStart, 0);

    // Ranges and lengths past 32 bits, and the total of a 416.
    r.HeaderLines.SetText("Content-Length: 5000000000\r\nContent-Range: bytes 4294967296-9294967295/*\r\n");
    r.ParseHeaders();
    EXPECT_EQ(r.ContentLength(), 5000000000);
    EXPECT_EQ(r.ContentRangeStart, 4294967296);
    EXPECT_EQ(r.ContentRangeEnd, 9294967295);
    EXPECT_EQ(r.ContentRangeInstanceLength, -1);
    r.HeaderLines.SetText("Content-Range: bytes */300000\r\n");
    r.ParseHeaders();
    EXPECT_TRUE(r.HasContentRange);
    EXPECT_EQ(r.ContentRangeInstanceLength, 300000);

    r.HeaderLines.SetText("Content-Range: bytes x-9/10\r\n");
    try {
        r.ParseHeaders();
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'x' is not a valid integer value");
    }
}

TEST(IdHTTPHeaderInfo, StatusCodeAndKeepAliveRules) {
    TIdHTTP client;
    TIdHTTPResponse& r = client.Response();
    r.StatusLine = "HTTP/1.1 404   Not Found";
    EXPECT_EQ(r.StatusCode(), 404);
    // Read only out of a status line: extra blanks or a sign make none.
    r.StatusLine = "HTTP/1.1   404   Not Found";
    EXPECT_EQ(r.StatusCode(), -1);
    r.StatusLine = "HTTP/1.1 +200 OK";
    EXPECT_EQ(r.StatusCode(), -1);
    r.StatusLine = "HTTP/1.0 abc";
    EXPECT_EQ(r.StatusCode(), -1);
    r.StatusLine = "";
    EXPECT_EQ(r.StatusCode(), -1);
    r.StatusLine = "HTTP/1.0 200 OK";
    // Not connected: never kept, whatever the headers say.
    r.Connection = "keep-alive";
    EXPECT_FALSE(r.KeepConnection());
    EXPECT_EQ(r.ReplyVersion, pv1_0);
}

TEST(IdHTTPHeaderInfo, TryLengthReadsDigitsOnly) {
    struct TCase {
        const char* Text;
        bool Read;
        int64_t Value;
    } cases[] = {
        {"0", true, 0},
        {"007", true, 7},
        {"00000000000000000000000000001", true, 1},
        {"9223372036854775807", true, INT64_MAX},
        {"09223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"18446744073709551615", false, 0},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"+5", false, 0},
        {"-5", false, 0},
        {"-0", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"0x10", false, 0},
        {"1,2", false, 0},
    };
    for (const TCase& c : cases) {
        int64_t v = -99;
        EXPECT_EQ(TryLength(c.Text, v), c.Read) << c.Text;
        EXPECT_EQ(v, c.Read ? c.Value : -99) << c.Text; // untouched when not read
    }
}
