#include "http/IdHTTP.h"

#include "core/ScopeGuard.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "net/IdSSLIOHandlerSocket.h"

#include <cstdint>
#include <cstring>

namespace {

const char* MethodWord(TIdHTTPMethod method) {
    switch (method) {
    case hmHead:
        return "HEAD ";
    case hmGet:
        return "GET ";
    case hmPost:
        return "POST ";
    case hmOptions:
        return "OPTIONS ";
    case hmTrace:
        return "TRACE ";
    case hmPut:
        return "PUT ";
    case hmDelete:
        return "DELETE ";
    case hmConnect:
        return "CONNECT ";
    }
    return "GET ";
}

// The same for a header line: a CR or LF in a value set by a caller would
// start a header of its own on the wire.
void RefuseBrokenHeaderLines(const TIdHeaderList& lines) {
    for (int k = 0; k < lines.Count(); ++k)
        if (lines[k].find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw EIdException("Header line refused: it contains a line break or NUL character");
}

} // namespace

// ---------------------------------------------------------------- request and response records

void TIdHTTPRequest::ComposeHeaders() {
    TIdRequestHeaderInfo::ComposeHeaders();
    // A redirect to another origin carries none of the credentials meant
    // for the first one: neither the caller's header lines nor an Authorization.
    if (HTTP && this == &HTTP->Request() && !HTTP->CredentialsAllowed()) {
        for (int k = HeaderLines.Count() - 1; k >= 0; --k)
            if (TIdCustomHTTP::IsCredentialHeader(HeaderLines.NameAt(k))) HeaderLines.Delete(k);
        return;
    }
    if (!Authenticator && BasicAuthentication) {
        Authenticator = TIdBasicAuthentication::Class()->Create();
        Authenticator->SetUserName(Username);
        Authenticator->SetPassword(Password);
    }
    if (Authenticator) {
        const std::string text = Authenticator->CredentialsText();
        if (!text.empty()) HeaderLines.SetHeader("Authorization", text);
    }
}

int32_t TIdHTTPResponse::StatusCode() const {
    return StatusCodeOf(StatusLine);
}

bool TIdHTTPResponse::KeepConnection() {
    const std::string version = TextCopy(StatusLine, 6, 3);
    if (version == "1.0")
        ReplyVersion = pv1_0;
    else if (version == "1.1")
        ReplyVersion = pv1_1;
    HTTP->CheckDisconnected(false);
    if (!HTTP->Connected() || CloseAfterReply) return false;
    const std::string connection = TextTrim(Connection);
    const std::string proxyConnection = TextTrim(ProxyConnection);
    if (HTTP->ProtocolVersion == pv1_1)
        return !SameText(connection, "close") && !SameText(proxyConnection, "close");
    return SameText(connection, "keep-alive") || SameText(proxyConnection, "keep-alive");
}

// ---------------------------------------------------------------- deciding on the reply

TIdHTTPProtocol::TIdHTTPProtocol(TIdCustomHTTP* client)
    : HTTP(*client), Request(std::make_unique<TIdHTTPRequest>(client)),
      Response(std::make_unique<TIdHTTPResponse>(client)) {}

TIdHTTPNextStep TIdHTTPProtocol::DecideNextStep() {
    FollowIsAuthRetry = false;
    CheckFraming();
    const int32_t code = Response->StatusCode();
    const int32_t statusClass = code / 100;
    // A Location beside any other code is no redirect: taking a 200 with a
    // stray Location for one would throw away a good reply.
    if (statusClass == 3 && code != 304) return RedirectStep();
    if (code == 206) CheckPartialReply();

    TIdHTTPNextStep result = StepUnknown;
    bool retryInProcess = false;
    if (statusClass != 2) {
        result = StepFollow;
        if (code != 401 && code != 407) return EndWithoutFollowing();
        if (!AuthenticationWanted(code)) {
            if (code == 401 && Request->Authenticator) Request->Authenticator->Reset();
            if (code == 407 && HTTP.ProxyParams.Authentication()) HTTP.ProxyParams.Authentication()->Reset();
            return EndWithoutFollowing();
        }
        FollowIsAuthRetry = true;
        retryInProcess = (HTTP.HTTPOptions & hoInProcessAuth) != 0;
    }
    if (HTTP.Connected()) {
        // The body of a proxy's refusal of CONNECT is nobody's: bounded as any refused body.
        if (retryInProcess || (statusClass != 2 && Request->RequestMethod == hmConnect)) {
            ReadRefusedBody(4000);
            result = StepAuthRetry;
        } else {
            if (code != 204) ReadBody();
            result = StepDone;
        }
    }
    return result;
}

bool TIdHTTPProtocol::AuthenticationWanted(int32_t code) {
    if (code == 401) return HTTP.AuthTries < HTTP.AuthRetries && HTTP.DoOnAuthorization(*Request, *Response);
    return HTTP.ProxyAuthTries < HTTP.AuthRetries && HTTP.DoOnProxyAuthorization(*Response);
}

TIdHTTPNextStep TIdHTTPProtocol::RedirectStep() {
    std::string location = Response->Location;
    TIdHTTPMethod method = Request->RequestMethod;
    TIdHTTPNextStep result = StepDone;
    // The last hop is still a redirect: ending there with an empty body would
    // call a fetch that never reached its resource a success.
    if (HTTP.HandleRedirects && HTTP.HopCount >= HTTP.RedirectMaximum) {
        const std::string body = ReadRefusedBody(4000);
        throw EIdHTTPProtocolException(Response->StatusCode(),
                                       Format("Maximum (%d) redirects followed", HTTP.RedirectMaximum - 1),
                                       body);
    }
    if (HTTP.HandleRedirects) {
        if (!HTTP.DoOnRedirect(location, method, HTTP.HopCount)) return EndWithoutFollowing();
        result = StepFollow;
        Request->Target = location;
        Request->RequestMethod = method;
    } else {
        if (!HTTP.DoOnRedirect(location, method, HTTP.HopCount)) return EndWithoutFollowing();
        Response->Location = location;
    }
    if (HTTP.Connected()) ReadRefusedBody(4000);
    return result;
}

void TIdHTTPProtocol::CheckPartialReply() {
    const TIdHTTPResponse& reply = *Response;
    const int64_t askedStart = Request->ContentRangeStart;
    const int64_t askedEnd = Request->ContentRangeEnd;
    const std::string range = reply.HeaderLines.ValueOf("Content-Range");
    // A part nobody asked for, or another part than asked, taken as the body
    // would be saved as if it were the whole.
    if (askedStart == 0 && askedEnd == 0)
        RaiseMalformedReply("Reply refused: a part (206) of a resource that was asked for whole");
    const int64_t start = reply.ContentRangeStart;
    const int64_t end = reply.ContentRangeEnd;
    const int64_t total = reply.ContentRangeInstanceLength;
    if (!reply.HasContentRange || start > end || (total >= 0 && end >= total) ||
        (reply.LengthKnown() && reply.ContentLength() != end - start + 1))
        RaiseMalformedReply(
            Format("Reply refused: its Content-Range \"%s\" does not describe its body", range.c_str()));
    if (start != askedStart || (askedEnd != 0 && end > askedEnd))
        RaiseMalformedReply(
            Format("Reply refused: its Content-Range \"%s\" is not the range asked for", range.c_str()));
}

std::string TIdHTTPProtocol::TargetUrl() {
    TIdURI url = HTTP.FCurrentUrl;
    try {
        return url.PlainUrl();
    } catch (const Exception&) {
        return Request->Target;
    }
}

void TIdHTTPProtocol::RaiseRefusal() {
    CheckFraming();
    RaiseProtocolError();
}

TIdHTTPNextStep TIdHTTPProtocol::EndWithoutFollowing() {
    const int32_t code = Response->StatusCode();
    // A 101 switched to a protocol nobody asked for: never a body to take.
    if (code < 200 || code >= HTTP.ProtocolErrorFrom) RaiseProtocolError();
    ReadBody();
    return StepDone;
}

void TIdHTTPProtocol::RaiseProtocolError() {
    const std::string body = ReadRefusedBody(2000);
    throw EIdHTTPProtocolException(Response->StatusCode(), Response->StatusLine, body);
}

// ---------------------------------------------------------------- the client

TIdCustomHTTP::TIdCustomHTTP() : FProtocol(std::make_unique<TIdHTTPProtocol>(this)) {
    TIdCustomHTTP::SetPort(80);
}

TIdCustomHTTP::~TIdCustomHTTP() {
    // Closed while the connection still knows it; its destructor would not
    // see the transport any more.
    if (FTlsTransport) DropSocket();
}

void TIdCustomHTTP::UseTlsTransport(TIdSSLContextPtr context) {
    auto transport = std::make_unique<TIdSSLIOHandlerSocket>(std::move(context));
    transport->OnStatus = OnStatus;
    SetIOHandler(transport.get());
    FTlsTransport = std::move(transport);
}

TIdSSLIOHandlerSocket* TIdCustomHTTP::TlsTransport() const {
    return dynamic_cast<TIdSSLIOHandlerSocket*>(IOHandler());
}

bool TIdCustomHTTP::HasTlsTransport() const {
    return TlsTransport() != nullptr;
}

void TIdCustomHTTP::SetHost(const std::string& host) {
    TIdTCPClient::SetHost(host);
    FCurrentUrl.HostName = host;
}

void TIdCustomHTTP::SetPort(int32_t port) {
    TIdTCPClient::SetPort(port);
    FCurrentUrl.PortText = IntToText(port);
}

void TIdCustomHTTP::FetchToStream(const std::string& url, TStream& stream) {
    RunRequest(hmGet, url, nullptr, &stream);
}

std::string TIdCustomHTTP::FetchText(const std::string& url) {
    TMemoryStream stream;
    FetchToStream(url, stream);
    return stream.Size() > 0 ? stream.DataString() : std::string();
}

void TIdCustomHTTP::RunRequest(TIdHTTPMethod method, const std::string& url, TStream* uploadStream,
                               TStream* responseStream) {
    const int64_t start = responseStream ? responseStream->Position() : 0;
    AuthTries = 0;
    ProxyAuthTries = 0;
    Request().Target = url;
    Request().RequestMethod = method;
    Request().UploadStream = uploadStream;
    Response().BodyStream = responseStream;
    FRequestSentAhead = TakeSentAhead(url);
    FFetchOrigin.clear(); // the first ResolveTarget names it
    try {
        for (bool done = false; !done;) {
            ++HopCount;
            ResolveTarget();
            EstablishRoute();
            ReadReply(*FProtocol);
            switch (FProtocol->DecideNextStep()) {
            case StepDone:
                done = true;
                break;
            case StepUnknown:
                throw EIdException("Undefined situation");
            case StepAuthRetry:
                --HopCount;
                Request().Target = url;
                break;
            case StepFollow:
                if (responseStream) {
                    responseStream->SetPosition(start);
                    responseStream->SetSize(start);
                }
                // A credentials retry keeps counting its tries, or a server that
                // closes after every 401 would be asked for ever.
                if (!FProtocol->FollowIsAuthRetry) {
                    AuthTries = 0;
                    ProxyAuthTries = 0;
                }
                break;
            }
        }
    } catch (const EIdHTTPProtocolException&) {
        // The refused reply's body was read by its framing: the connection is
        // as good as after any other reply.
        FinishAfterFailure(false);
        throw;
    } catch (...) {
        // Anything else may have left part of a reply unread, which the next
        // request on this connection would take for its own.
        FinishAfterFailure(true);
        throw;
    }
    FinishRequest(false);
}

void TIdCustomHTTP::FinishRequest(bool broken) {
    // Also after a failure, so that a reused client counts its next redirects from 0.
    HopCount = 0;
    Request().UploadStream = nullptr;
    Response().BodyStream = nullptr;
    FRequestSentAhead = false;
    if (broken || !Response().KeepConnection()) {
        Disconnect();
        return;
    }
    // An HTTP/1.0 server may close after any reply whatever it said: only
    // HTTP/1.1 replies show a connection fit for pipelining.
    FShownKeepAlive = Response().StatusLine.rfind("HTTP/1.1 ", 0) == 0;
}

void TIdCustomHTTP::FinishAfterFailure(bool broken) noexcept {
    try {
        FinishRequest(broken);
    } catch (...) {
        // Only event handlers run there; the request's own failure is the one to report.
    }
}

void TIdCustomHTTP::RetireUnfitConnection() {
    PollForClose(false);
    // Nothing is due on it: whatever waits there (a reply too many, stray
    // bytes) would be read as the next request's reply, and every reply after
    // it as the one before's.
    if (Connected() && InputQueue().Size() > 0) Disconnect();
}

std::string TIdCustomHTTP::RequestHead() {
    TIdHTTPRequest& request = Request();
    request.ComposeHeaders();
    return std::string(MethodWord(request.RequestMethod)) + request.Target + "\n" + request.HeaderLines.Text();
}

void TIdCustomHTTP::WriteRequest(TIdHTTPProtocol& protocol, TIdURI* url) {
    TIdHTTPRequest& request = *protocol.Request;
    request.ComposeHeaders();
    // Proxy credentials are for the proxy only: never for an origin server,
    // also not inside a tunnel, where the origin would read them.
    if (request.Route == RouteProxy || request.RequestMethod == hmConnect)
        ProxyParams.SetHeaders(request.HeaderLines);
    if (url)
        FCookies.AddCookieHeader(*url, request.Route == RouteTls || request.Route == RouteTlsProxy,
                                 request.HeaderLines);
    RefuseBrokenHeaderLines(request.HeaderLines);

    const std::string requestLine = std::string(MethodWord(request.RequestMethod)) + request.Target +
                                    " HTTP/" + (ProtocolVersion == pv1_0 ? "1.0" : "1.1");
    BeginWriteBatch(-1);
    {
        // A request cut short is not sent in part.
        const auto discard = ScopeFail([this] {
            DiscardWriteBatch();
            EndWriteBatch();
        });
        WriteLine(requestLine);
        for (int k = 0; k < request.HeaderLines.Count(); ++k)
            if (!request.HeaderLines[k].empty()) WriteLine(request.HeaderLines[k]);
        WriteLine("");
    }
    EndWriteBatch();
    if (OnRequestWritten) OnRequestWritten(this, requestLine, request.HeaderLines);
}

void TIdCustomHTTP::ReadReply(TIdHTTPProtocol& protocol) {
    protocol.BeginReply();
    do {
        protocol.ReadHead();
        if (OnReplyHeaders)
            OnReplyHeaders(this, protocol.Response->StatusLine, protocol.Response->HeaderLines);
        StoreResponseCookies();
        // Every interim reply but a protocol switch (nobody asked for one) is
        // followed by the real one: 100 Continue, 102, 103 Early Hints.
    } while (protocol.Response->StatusCode() / 100 == 1 && protocol.Response->StatusCode() != 101);
}

void TIdCustomHTTP::StoreResponseCookies() {
    FCookies.StoreResponseCookies(AllowCookies, Response().HeaderLines, FCurrentUrl.HostName);
}

bool TIdCustomHTTP::DoOnRedirect(std::string& location, TIdHTTPMethod& method, int redirectCount) {
    bool handled = HandleRedirects;
    if (OnRedirect) OnRedirect(this, location, redirectCount, handled, method);
    return handled;
}

bool TIdCustomHTTP::IsCredentialHeader(std::string_view name) {
    return SameText(name, "Authorization") || SameText(name, "Cookie") ||
           SameText(name, "Proxy-Authorization");
}

bool TIdCustomHTTP::CredentialsAllowed() const {
    if (FFetchOrigin.empty() || FCurrentUrl.Origin() == FFetchOrigin) return true;
    return CredentialsFollowRedirects && !(FFetchBeganTls && !SameText(FCurrentUrl.Scheme, "https"));
}

bool TIdCustomHTTP::DoOnAuthorization(TIdHTTPRequest& request, TIdHTTPResponse& response) {
    // Another origin's challenge is never answered with the first one's credentials.
    if (!CredentialsAllowed()) return false;
    return AnswerServerChallenge({this, AuthTries, response.WWWAuthenticate, request.Authenticator,
                                  request.Username, request.Password, request.BasicAuthentication,
                                  OnSelectAuthorization, OnAuthorization});
}

bool TIdCustomHTTP::DoOnProxyAuthorization(TIdHTTPResponse& response) {
    return AnswerProxyChallenge({this, ProxyAuthTries, response.StatusCode(), response.ProxyAuthenticate,
                                 ProxyParams, OnSelectProxyAuthorization, OnProxyAuthorization});
}

void TIdCustomHTTP::DoOnDisconnected() {
    TIdTCPClient::DoOnDisconnected();
    ForgetSentAhead();
    std::unique_ptr<TIdAuthentication>& authenticator = Request().Authenticator;
    std::string plainUrl;
    if (authenticator && AuthenticationManager && !FCurrentUrl.Scheme.empty() &&
        !FCurrentUrl.HostName.empty()) {
        TIdURI url = FCurrentUrl;
        plainUrl = url.PlainUrl();
    }
    HandOverAuthenticator(authenticator, AuthenticationManager, plainUrl, ProxyParams);
}
