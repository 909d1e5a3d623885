#include "http/IdHTTPHeaderInfo.h"

#include "core/Exceptions.h"
#include "core/TextUtils.h"
#include "http/IdURI.h"

#include <charconv>

int32_t DecimalToInt(const std::string& text) {
    int value = 0;
    if (!TryDecimal(text, value))
        throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
    return value;
}

bool TryLength(std::string_view text, int64_t& value) {
    // Unsigned, so that no sign is read: a length is digits and nothing else.
    uint64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc{} || at != end || v > uint64_t(INT64_MAX)) return false;
    value = static_cast<int64_t>(v);
    return true;
}

namespace {

// 64-bit form of the conversion error: a range the server writes wrongly
// fails as any number that is no number does.
int64_t LengthOrRaise(const std::string& text) {
    int64_t value = 0;
    if (!TryLength(TextTrim(text), value))
        throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
    return value;
}

// Every Content-Length line, and every comma-separated value in them, must
// name one length: a reply that names two is framed two ways, and whichever
// is picked, the bytes after it would be read as the next reply. Names are
// matched as every other lookup of the record matches them; a name with
// blanks around it is the reply parser's to refuse.
std::string ReadContentLength(const TIdHeaderList& lines, int64_t& length) {
    length = -1;
    for (int k = 0; k < lines.Count(); ++k) {
        if (!SameText(lines.NameAt(k), "Content-Length")) continue;
        std::string values = lines.ValueAt(k);
        for (bool last = false; !last;) {
            last = values.find(',') == std::string::npos;
            const std::string text = TextTrim(SplitAt(values, ","));
            int64_t value = 0;
            if (!TryLength(text, value))
                return Format("its Content-Length \"%s\" is not a length", text.c_str());
            if (length >= 0 && value != length) return "it names two different Content-Length values";
            length = value;
        }
    }
    return {};
}

} // namespace

// ---------------------------------------------------------------- entity

TIdEntityHeaderInfo::TIdEntityHeaderInfo() {
    HeaderLines.FoldWidth = 1024;
    TIdEntityHeaderInfo::Clear();
}

void TIdEntityHeaderInfo::Clear() {
    Connection.clear();
    ContentVersion.clear();
    ContentEncoding.clear();
    ContentLanguage.clear();
    ContentType = "text/html";
    SetContentLength(-1);
    ContentRangeStart = 0;
    ContentRangeEnd = 0;
    CacheControl.clear();
    Date = 0;
    Expires = 0;
    LastModified = 0;
    Pragma.clear();
    HeaderLines.Clear();
}

void TIdEntityHeaderInfo::ParseHeaders() {
    Connection = HeaderLines.ValueOf("Connection");
    ContentVersion = HeaderLines.ValueOf("Content-Version");
    ContentEncoding = HeaderLines.ValueOf("Content-Encoding");
    ContentLanguage = HeaderLines.ValueOf("Content-Language");
    ContentType = HeaderLines.ValueOf("Content-Type");
    int64_t length = -1;
    if (!TryLength(TextTrim(HeaderLines.ValueOf("Content-Length")), length)) length = -1;
    SetContentLength(length);

    Date = StrInternetToDateTime(HeaderLines.ValueOf("Date"));
    LastModified = StrInternetToDateTime(HeaderLines.ValueOf("Last-Modified"));
    const std::string expires = HeaderLines.ValueOf("Expires");
    int seconds = 0;
    if (TryDecimal(expires, seconds) && seconds != -1)
        Expires = NowLocal() + seconds / 86400.0;
    else
        Expires = StrInternetToDateTime(expires);
    Pragma = HeaderLines.ValueOf("Pragma");
}

void TIdEntityHeaderInfo::ComposeHeaders() {
    HeaderLines.Clear();
    HeaderLines.SetHeader("Connection", Connection);
    HeaderLines.SetHeader("Content-Version", ContentVersion);
    HeaderLines.SetHeader("Content-Encoding", ContentEncoding);
    HeaderLines.SetHeader("Content-Language", ContentLanguage);
    HeaderLines.SetHeader("Content-Type", ContentType);
    if (ContentLength() >= 0) HeaderLines.SetHeader("Content-Length", IntToText(ContentLength()));
    HeaderLines.SetHeader("Cache-control", CacheControl);
    if (Date > 0) HeaderLines.SetHeader("Date", DateTimeToInternetStr(Date));
    if (Expires > 0) HeaderLines.SetHeader("Expires", DateTimeToInternetStr(Expires));
    HeaderLines.SetHeader("Pragma", Pragma);
}

// ---------------------------------------------------------------- request

TIdRequestHeaderInfo::TIdRequestHeaderInfo() {
    TIdRequestHeaderInfo::Clear();
}

void TIdRequestHeaderInfo::Clear() {
    TIdEntityHeaderInfo::Clear();
    Accept = "text/html, */*";
    AcceptCharSet.clear();
    AcceptEncoding.clear();
    AcceptLanguage.clear();
    From.clear();
    Referer.clear();
    UserAgent = "Mozilla/3.0 (compatible; Quillora Library)";
    Host.clear();
    ProxyConnection.clear();
    Username.clear();
    Password.clear();
    BasicAuthentication = false;
}

void TIdRequestHeaderInfo::ComposeHeaders() {
    TIdEntityHeaderInfo::ComposeHeaders();
    for (int k = 0; k < CustomHeaders.Count(); ++k)
        HeaderLines.Add(CustomHeaders[k]);
    HeaderLines.SetHeader("Proxy-Connection", ProxyConnection);
    HeaderLines.SetHeader("Host", Host);
    HeaderLines.SetHeader("Accept", Accept);
    HeaderLines.SetHeader("Accept-Charset", AcceptCharSet);
    HeaderLines.SetHeader("Accept-Encoding", AcceptEncoding);
    HeaderLines.SetHeader("Accept-Language", AcceptLanguage);
    HeaderLines.SetHeader("From", From);
    HeaderLines.SetHeader("Referer", Referer);
    HeaderLines.SetHeader("User-Agent", UserAgent);
    if (LastModified > 0) HeaderLines.SetHeader("If-Modified-Since", DateTimeToInternetStr(LastModified));
    if (ContentRangeStart != 0 || ContentRangeEnd != 0) {
        std::string range = "bytes=" + IntToText(ContentRangeStart) + "-";
        if (ContentRangeEnd != 0) range += IntToText(ContentRangeEnd);
        HeaderLines.SetHeader("Range", range);
    }
}

// ---------------------------------------------------------------- response

TIdResponseHeaderInfo::TIdResponseHeaderInfo() {
    TIdResponseHeaderInfo::Clear();
}

void TIdResponseHeaderInfo::Clear() {
    TIdEntityHeaderInfo::Clear();
    Location.clear();
    Server.clear();
    ProxyConnection.clear();
    WWWAuthenticate.Clear();
    ProxyAuthenticate.Clear();
    HasContentRange = false;
    FramingError.clear();
    Framing = TBodyFraming::None;
}

void TIdResponseHeaderInfo::ParseHeaders() {
    Location = HeaderLines.ValueOf("Location");
    Server = HeaderLines.ValueOf("Server");
    ProxyConnection = HeaderLines.ValueOf("Proxy-Connection");

    ContentRangeStart = 0;
    ContentRangeEnd = 0;
    ContentRangeInstanceLength = -1;
    HasContentRange = false;
    const int range = HeaderLines.FindName("Content-Range");
    if (range >= 0) {
        // "bytes start-end/total"; total may be "*", and a 416 says "bytes */total".
        std::string text = TextTrim(HeaderLines.ValueAt(range));
        SplitAt(text, " ");
        std::string span = SplitAt(text, "/");
        const std::string total = TextTrim(text);
        if (TextTrim(span) != "*") {
            ContentRangeStart = LengthOrRaise(SplitAt(span, "-"));
            ContentRangeEnd = LengthOrRaise(span);
        }
        if (total != "*") ContentRangeInstanceLength = LengthOrRaise(total);
        HasContentRange = true;
    }
    WWWAuthenticate.Clear();
    HeaderLines.ExtractAll("WWW-Authenticate", &WWWAuthenticate);
    ProxyAuthenticate.Clear();
    HeaderLines.ExtractAll("Proxy-Authenticate", &ProxyAuthenticate);
    TIdEntityHeaderInfo::ParseHeaders();
    Framing = TBodyFraming::None;
    int64_t length = -1;
    FramingError = ReadContentLength(HeaderLines, length);
    if (FramingError.empty()) SetContentLength(length);
}
