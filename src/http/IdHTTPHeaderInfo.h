#pragma once
// The header records of a request and a reply: typed fields on one side,
// HeaderLines on the other. ParseHeaders reads the lines into the fields,
// ComposeHeaders writes the fields into the lines.

#include "http/IdHTTPDate.h"
#include "http/IdHeaderList.h"

#include <cstdint>
#include <string>
#include <string_view>

enum TIdHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmDelete, hmConnect };
enum TIdHTTPProtocolVersion { pv1_0, pv1_1 };
enum TIdHTTPRoute { RouteDirect, RouteTls, RouteProxy, RouteTlsProxy };
enum TIdHTTPNextStep { StepFollow, StepDone, StepUnknown, StepAuthRetry };
// How a reply's body ends, as the reply parser decided it from the whole head:
// no body at all, ContentLength bytes, chunks, the peer's close, or a framing
// that cannot be trusted (the reply is refused).
enum class TBodyFraming { None, Length, Chunked, UntilClose, Refused };

class TIdEntityHeaderInfo {
  public:
    TIdEntityHeaderInfo();
    virtual ~TIdEntityHeaderInfo() = default;
    TIdEntityHeaderInfo(const TIdEntityHeaderInfo&) = delete;
    TIdEntityHeaderInfo& operator=(const TIdEntityHeaderInfo&) = delete;

    virtual void ParseHeaders();
    virtual void ComposeHeaders();
    virtual void Clear();

    int64_t ContentLength() const { return FContentLength; }
    void SetContentLength(int64_t value) {
        FContentLength = value;
        FLengthKnown = value >= 0;
    }
    bool LengthKnown() const { return FLengthKnown; }

    std::string Connection;
    std::string ContentVersion;
    std::string ContentEncoding;
    std::string ContentLanguage;
    std::string ContentType;
    // Lengths and ranges are 64-bit: pictures and files past 2 GiB are real.
    int64_t ContentRangeStart = 0;
    int64_t ContentRangeEnd = 0;
    // The whole resource's size from a reply's Content-Range; -1 for "*" or none.
    int64_t ContentRangeInstanceLength = -1;
    std::string CacheControl;
    TDateTime Date = 0;
    TDateTime Expires = 0;
    TDateTime LastModified = 0;
    std::string Pragma;

    TIdHeaderList HeaderLines;
    TIdHeaderList CustomHeaders;

  private:
    int64_t FContentLength = -1;
    bool FLengthKnown = false;
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
  public:
    TIdRequestHeaderInfo();
    void ComposeHeaders() override;
    void Clear() override;

    std::string Accept;
    std::string AcceptCharSet;
    std::string AcceptEncoding;
    std::string AcceptLanguage;
    std::string From;
    std::string Referer;
    std::string UserAgent;
    std::string Host;
    std::string ProxyConnection;
    std::string Username;
    std::string Password;
    bool BasicAuthentication = false;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
  public:
    TIdResponseHeaderInfo();
    void ParseHeaders() override;
    void Clear() override;

    std::string Location;
    std::string Server;
    std::string ProxyConnection;
    TIdHeaderList WWWAuthenticate;
    TIdHeaderList ProxyAuthenticate;
    // Content-Range was there and read whole ("bytes start-end/total" or "bytes */total").
    bool HasContentRange = false;
    // Why the reply's framing cannot be trusted (Content-Length values that
    // disagree or are no number); empty when it can. The client refuses such a reply.
    std::string FramingError;
    // Set by the reply parser once a final head is read; nobody else reads
    // Transfer-Encoding or Content-Length to tell how the body ends.
    TBodyFraming Framing = TBodyFraming::None;
    // The body's length when the framing proves it in advance; -1 otherwise.
    int64_t AnnouncedLength() const { return Framing == TBodyFraming::Length ? ContentLength() : -1; }
};

// Decimal text to a 32-bit number; EConvertError "'%s' is not a valid integer value" otherwise.
int32_t DecimalToInt(const std::string& text);
// Digits only, as lengths and byte positions are written, that fit 63 bits.
bool TryLength(std::string_view text, int64_t& value);
