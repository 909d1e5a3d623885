#pragma once
// The HTTP/1.1 client. It is itself the TCP connection: a fetch resolves the
// URL against CurrentUrl, connects (or reuses the open connection), writes the
// request in one send, reads the reply's head and decides what to do with it:
// move the body into the caller's stream, follow a redirect, answer a
// credentials challenge, or fail with the reply's status line.
// The request loop and the decisions are in IdHTTP.cpp, the route and the
// proxy tunnel in IdHTTPRoute.cpp, the reading of a reply (over the reply
// parser) in IdHTTPReply.cpp.

#include "core/Classes.h"
#include "http/HttpReplyParser.h"
#include "http/IdAuthentication.h"
#include "http/IdAuthenticationManager.h"
#include "http/IdCookieManager.h"
#include "http/IdHTTPHeaderInfo.h"
#include "http/IdURI.h"
#include "net/IdException.h"
#include "net/IdSSLContext.h"
#include "net/IdTCPClient.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

QUILLORA_EXCEPTION(EIdUnknownProtocol, EIdException);
QUILLORA_EXCEPTION(EIdIOHandlerPropInvalid, EIdException);

class EIdProtocolReplyError : public EIdException {
  public:
    EIdProtocolReplyError(int32_t replyCode, std::string message)
        : EIdException(std::move(message)), ReplyCode(replyCode) {}
    const char* ClassName() const override { return "EIdProtocolReplyError"; }
    int32_t ReplyCode;
};

class EIdHTTPProtocolException : public EIdProtocolReplyError {
  public:
    EIdHTTPProtocolException(int32_t replyCode, std::string statusLine, std::string replyBody)
        : EIdProtocolReplyError(replyCode, std::move(statusLine)), ReplyBody(std::move(replyBody)) {}
    const char* ClassName() const override { return "EIdHTTPProtocolException"; }
    std::string ReplyBody;
};

enum TIdHTTPOption { hoInProcessAuth = 1, hoKeepOrigProtocol = 2, hoForceEncodeParams = 4 };
using TIdHTTPOptions = int;

// dest and method may be changed; handled starts as HandleRedirects.
using TIdHTTPOnRedirectEvent = std::function<void(TIdComponent* sender, std::string& dest, int& numRedirect,
                                                  bool& handled, TIdHTTPMethod& vMethod)>;
// What the client wrote and read, line by line, for tools that show the exchange.
using TIdHTTPLinesEvent =
    std::function<void(TIdComponent* sender, const std::string& firstLine, const TIdHeaderList& headers)>;

// Chooses the proxy of one request from the URL it goes to (scheme, host):
// sets proxy's server and port (an empty server: none) and credentials.
using TIdChooseProxyEvent = std::function<void(const TIdURI& url, TIdProxyConnectionInfo& proxy)>;

class TIdCustomHTTP;
class TIdSSLIOHandlerSocket;

class TIdHTTPRequest : public TIdRequestHeaderInfo {
  public:
    explicit TIdHTTPRequest(TIdCustomHTTP* client) : HTTP(client) {}
    void ComposeHeaders() override;

    TIdCustomHTTP* HTTP;
    std::string Target;
    TIdHTTPMethod RequestMethod = hmGet;
    TStream* UploadStream = nullptr;
    TIdHTTPRoute Route = RouteDirect;
    std::unique_ptr<TIdAuthentication> Authenticator;
};

class TIdHTTPResponse : public TIdResponseHeaderInfo {
  public:
    explicit TIdHTTPResponse(TIdCustomHTTP* client) : HTTP(client) {}

    // The number after the first space of the status line; -1 when it is none.
    int32_t StatusCode() const;
    // Whether the connection may carry the next request; also closes a socket
    // whose close was already seen.
    bool KeepConnection();

    TIdCustomHTTP* HTTP;
    std::string StatusLine;
    TIdHTTPProtocolVersion ReplyVersion = pv1_1;
    TStream* BodyStream = nullptr;
    // The reply was framed in a way that leaves the connection unfit for the
    // next request (chunked and a Content-Length, or a coding read to the close).
    bool CloseAfterReply = false;
};

// One request and its reply, and what the client does with the reply.
class TIdHTTPProtocol {
  public:
    explicit TIdHTTPProtocol(TIdCustomHTTP* client);

    // A new reply parser for the next reply to Request.
    void BeginReply();
    // The next head, its status line included (interim replies are counted between).
    void ReadHead();
    // The header block after a status line the caller read itself.
    void ReadResponseHeaders();
    TIdHTTPNextStep DecideNextStep();
    void ReadBody();
    [[noreturn]] void RaiseProtocolError();
    // A reply the client neither follows nor answers with credentials: the
    // request ends with it when its status is below ProtocolErrorFrom (its
    // body read into the caller's stream as a 2xx's is), refused otherwise.
    TIdHTTPNextStep EndWithoutFollowing();
    // The reply refused for its status: its body read as far as any refused
    // body is, and EIdHTTPProtocolException raised with its status line.
    [[noreturn]] void RaiseRefusal();
    // Disconnects (the rest of the reply stays unread) and raises
    // EIdHTTPProtocolException with message, the reply's code and no body.
    [[noreturn]] void RaiseMalformedReply(const std::string& message);

    static constexpr int32_t MaxHeaderLines = THttpReplyParser::MaxHeaderLines;
    static constexpr int64_t MaxHeaderBytes = THttpReplyParser::MaxHeaderBytes;
    static constexpr int MaxInterimReplies = THttpReplyParser::MaxInterimReplies;
    // What an error reply's exception keeps of its body: enough for any
    // message a server means to show; a longer body is not read to its end,
    // the connection is dropped instead.
    static constexpr int64_t RefusedBodyLimit = 64 * 1024;

    TIdCustomHTTP& HTTP;
    std::unique_ptr<TIdHTTPRequest> Request;
    std::unique_ptr<TIdHTTPResponse> Response;
    // Set by DecideNextStep when StepFollow means "send again with credentials".
    bool FollowIsAuthRetry = false;

  private:
    // Feeds the parser from the input queue until it finds something, or
    // stops before body bytes, which the caller moves itself.
    THttpReplyParser::TStep Advance();
    // Waits for more input; false when the peer closed (raised: with nothing queued).
    bool FillQueue(bool& raised);
    THttpReplyParser::TStep EndOfInput(bool raised);
    [[noreturn]] void RaiseParserError();
    void ReadBodyPiece(TStream& stream);
    TIdHTTPNextStep RedirectStep();
    bool AuthenticationWanted(int32_t code);
    void CheckFraming();
    void CheckPartialReply();
    // Reads the body into a scratch that keeps its first RefusedBodyLimit
    // bytes; a longer or broken body drops the connection. Answers what was kept.
    std::string ReadRefusedBody(int32_t timeout);
    // The address of the request, for messages.
    std::string TargetUrl();

    std::unique_ptr<THttpReplyParser> FParser;
};

class TIdCustomHTTP : public TIdTCPClient {
  public:
    TIdCustomHTTP();
    ~TIdCustomHTTP() override;

    // Appends the body of url to stream at its position.
    void FetchToStream(const std::string& url, TStream& stream);
    // The body of url, one character per byte.
    std::string FetchText(const std::string& url);
    void RunRequest(TIdHTTPMethod method, const std::string& url, TStream* uploadStream,
                    TStream* responseStream);
    // HTTP/1.1 pipelining: writes a GET of url now on the open connection,
    // when a reply on it has shown that it is kept alive; the next
    // FetchToStream of url reads its reply. Anything sent ahead that cannot
    // be read in turn (the connection closed, another request came first, the
    // request is no longer the one that went out: another method, range or
    // header line) is forgotten and asked again as usual. False when nothing
    // was written.
    bool SendAhead(const std::string& url);
    // The requests sent ahead whose replies are still to be read.
    size_t SentAhead() const { return FSentAhead.size(); }
    // Whether the first reply still due on the open connection is url's.
    bool NextSentAhead(const std::string& url);

    TIdHTTPRequest& Request() { return *FProtocol->Request; }
    TIdHTTPResponse& Response() { return *FProtocol->Response; }
    int32_t ResponseCode() { return Response().StatusCode(); }
    TIdURI& CurrentUrl() { return FCurrentUrl; }

    // Gives the client a TLS transport of its own, kept across disconnects
    // (an IO handler the connection owned would go with the first one).
    void UseTlsTransport(TIdSSLContextPtr context);
    // The TLS transport assigned as IOHandler, or nullptr.
    TIdSSLIOHandlerSocket* TlsTransport() const;

    TIdCookieManager* CookieManager() const { return FCookies.Manager(); }
    void SetCookieManager(TIdCookieManager* manager) { FCookies.SetManager(manager); }
    bool OwnsCookieManager() const { return FCookies.OwnsManager(); }

    void SetHost(const std::string& host) override;
    void SetPort(int32_t port) override;
    void DoOnDisconnected() override;

    TIdHTTPProtocolVersion ProtocolVersion = pv1_1;
    bool HandleRedirects = false;
    int RedirectMaximum = 15;
    int AuthRetries = 3;
    // Replies not followed or answered (a 3xx, 4xx, 5xx) are refused with
    // EIdHTTPProtocolException from this status up; below it they end the
    // request as a 2xx does, the body in the caller's stream and the status in
    // ResponseCode(). 300 takes 2xx only; curl's rules are 400 with its -f
    // and 1000 without.
    int32_t ProtocolErrorFrom = 300;
    bool AllowCookies = true;
    TIdHTTPOptions HTTPOptions = hoForceEncodeParams;
    TIdProxyConnectionInfo ProxyParams;
    TIdAuthenticationManager* AuthenticationManager = nullptr;
    TIdHTTPOnRedirectEvent OnRedirect;
    TIdOnSelectAuthorization OnSelectAuthorization;
    TIdOnSelectAuthorization OnSelectProxyAuthorization;
    TIdOnAuthorization OnAuthorization;
    TIdOnAuthorization OnProxyAuthorization;
    TIdHTTPLinesEvent OnRequestWritten;
    TIdHTTPLinesEvent OnReplyHeaders;
    // Asked before every request is routed, each redirect hop and each
    // credentials retry included; unset, ProxyParams stay as they were set.
    TIdChooseProxyEvent OnChooseProxy;

    // Whether credentials follow a redirect to another origin (curl's
    // --location-trusted): the request's Authorization (answered challenges,
    // user information of the URL) and the header lines CredentialHeaders
    // names. Even so, a fetch that began on https never sends them in clear.
    bool CredentialsFollowRedirects = false;
    // The header lines that carry credentials, kept off other origins.
    static bool IsCredentialHeader(std::string_view name);
    // Whether the request being routed may carry credentials: it goes to the
    // origin (scheme, host, port) its fetch began at, or
    // CredentialsFollowRedirects lets them go on.
    bool CredentialsAllowed() const;

    int HopCount = 0;
    int AuthTries = 0;
    int ProxyAuthTries = 0;

    // The decisions DecideNextStep asks for; a subclass may replace them.
    virtual bool DoOnRedirect(std::string& location, TIdHTTPMethod& method, int redirectCount);
    virtual bool DoOnAuthorization(TIdHTTPRequest& request, TIdHTTPResponse& response);
    virtual bool DoOnProxyAuthorization(TIdHTTPResponse& response);

  protected:
    void ResolveTarget();
    TIdHTTPRoute SelectRoute();
    // The route and the request's target and connection headers for it.
    void PrepareRoute();
    void EstablishRoute();
    void EnsureConnected();
    // Before a request that is not pipelined goes out on the kept connection:
    // closes it when the server closed it, or when it holds bytes nobody asked for.
    void RetireUnfitConnection();
    void WriteRequest(TIdHTTPProtocol& protocol, TIdURI* url);
    void ReadReply(TIdHTTPProtocol& protocol);
    // Whether https can be reached: a TLS transport is the IOHandler.
    virtual bool HasTlsTransport() const;

  private:
    void ApplyDefaultPort(const TIdURI& target);
    TIdHTTPRoute SelectProxyRoute();
    void OpenTunnel();
    // Whether the open connection is the TLS tunnel to the current origin
    // that an earlier request through the proxy set up.
    bool TunnelStands();
    std::string TunnelTarget() const;
    void StoreResponseCookies();
    void FinishRequest(bool broken);
    void FinishAfterFailure(bool broken) noexcept;
    // Whether url's request is already on the wire, next to be answered.
    bool TakeSentAhead(const std::string& url);
    void ForgetSentAhead();
    // The request as its fields would write it now (method, target, header lines).
    std::string RequestHead();

    TIdURI FCurrentUrl;
    std::unique_ptr<TIdHTTPProtocol> FProtocol;
    TIdCookieClient FCookies;
    struct TSentRequest {
        std::string Url;
        std::string Head; // RequestHead() as it went out
    };
    std::deque<TSentRequest> FSentAhead; // in the order their replies are due
    bool FRequestSentAhead = false;      // the request being run went out ahead ...
    std::string FSentHead;               // ... as this head
    bool FShownKeepAlive = false;        // an HTTP/1.1 reply on this connection kept it open
    std::unique_ptr<TIdSSLIOHandlerSocket> FTlsTransport;
    // host:port the TLS tunnel through the proxy was opened to.
    std::string FTunnelTarget;
    // The origin the fetch being run began at ("SCHEME://HOST:PORT"), and whether it was https.
    std::string FFetchOrigin;
    bool FFetchBeganTls = false;
    // Whether the open connection goes to a proxy (not to the origin).
    bool FConnectionViaProxy = false;

    friend class TIdHTTPProtocol;
};

class TIdHTTP : public TIdCustomHTTP {};
