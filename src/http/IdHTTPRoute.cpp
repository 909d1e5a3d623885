// Where a request goes: the URL resolved against the current one, the route
// (direct, through a proxy, through a proxy's tunnel) and the open connection
// it is written on.

#include "http/IdHTTP.h"

#include "core/TextUtils.h"
#include "net/IdSSLIOHandlerSocket.h"

#include <utility>

namespace {

// A CR or LF in a request-target would end the request line early and let
// whoever chose the URL (a page, a redirecting server) write header lines of
// their own; a NUL cuts it for many servers. Such a URL is never sent.
void RefuseControlCharacters(const std::string& url) {
    if (url.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EIdURIException("URL refused: it contains a line break or NUL character");
}

// Text that is no number fails as the conversion does; a number no
// connection can go to (0 among them) fails before any connect.
int32_t PortNumber(const std::string& portText) {
    const int32_t port = DecimalToInt(portText);
    if (!IsPortNumber(port)) throw EIdURIException(Format("Port %s is out of range", portText.c_str()));
    return port;
}

} // namespace

void TIdCustomHTTP::ResolveTarget() {
    TIdHTTPRequest& request = Request();
    RefuseControlCharacters(request.Target);
    TIdURI target(request.Target);
    // Only http and https are spoken; any other scheme names itself, also
    // one with a port of its own, which would otherwise be asked in http, and
    // one without a host (file:///x), which is no fault of the URL's.
    if (!target.Scheme.empty() && !SameText(target.Scheme, "http") && !SameText(target.Scheme, "https"))
        throw EIdUnknownProtocol(Format("Protocol %s is not supported", target.Scheme.c_str()));
    target.Check();
    if (!target.Scheme.empty() && target.HostName.empty())
        throw EIdURIException("URL refused: it names no host");
    if (!target.AuthUser.empty()) {
        request.Username = target.AuthUser;
        request.Password = target.AuthPassword;
    }
    FCurrentUrl.AuthUser = request.Username;
    FCurrentUrl.AuthPassword = request.Password;
    FCurrentUrl.DirPath = ResolvePath(FCurrentUrl.DirPath, target.DirPath, '/');
    FCurrentUrl.DocName = target.DocName;
    FCurrentUrl.QueryPart = target.QueryPart;
    if (!target.HostName.empty()) FCurrentUrl.HostName = target.HostName;
    // A relative URL stays on the scheme it came from: a page or a redirect
    // read over https must not send its next request in clear.
    if (!target.Scheme.empty())
        FCurrentUrl.Scheme = target.Scheme;
    else if (!SameText(FCurrentUrl.Scheme, "https"))
        FCurrentUrl.Scheme = "http";
    ApplyDefaultPort(target);
    if (FFetchOrigin.empty()) {
        FFetchOrigin = FCurrentUrl.Origin();
        FFetchBeganTls = SameText(FCurrentUrl.Scheme, "https");
    }

    // One assignment of a whole string: assigning "*" over the joined path
    // made GCC 12 at -O3 warn about overlapping copies (-Wrestrict).
    const bool asterisk = request.RequestMethod == hmOptions && target.DocName == "*";
    request.Target =
        asterisk ? std::string("*") : FCurrentUrl.DirPath + FCurrentUrl.DocName + FCurrentUrl.QueryPart;
    const TIdHTTPMethod m = request.RequestMethod;
    if ((m == hmOptions || m == hmTrace || m == hmPut || m == hmDelete) && ProtocolVersion != pv1_1)
        throw EIdException("This request method is supported in HTTP 1.1");
    int64_t length = -1;
    if ((m == hmPost || m == hmPut) && request.UploadStream) length = request.UploadStream->Size();
    request.SetContentLength(length);
    request.Host = FCurrentUrl.PortText == "80" ? FCurrentUrl.HostText()
                                                : FCurrentUrl.HostText() + ":" + FCurrentUrl.PortText;
}

void TIdCustomHTTP::ApplyDefaultPort(const TIdURI& target) {
    if (!target.PortText.empty()) {
        FCurrentUrl.PortText = target.PortText;
        return;
    }
    int current = 0;
    if (!TryDecimal(FCurrentUrl.PortText, current)) current = 0;
    // A URL naming its own host without a port means that scheme's port, not
    // whatever port the previous host of this client had.
    if (!target.HostName.empty()) current = 0;
    if (current != 0 && current != 80 && current != 443) return;
    if (SameText(FCurrentUrl.Scheme, "http"))
        FCurrentUrl.PortText = "80";
    else if (SameText(FCurrentUrl.Scheme, "https"))
        FCurrentUrl.PortText = "443";
    else
        throw EIdUnknownProtocol(Format("Protocol %s is not supported", FCurrentUrl.Scheme.c_str()));
}

TIdHTTPRoute TIdCustomHTTP::SelectRoute() {
    if (OnChooseProxy) OnChooseProxy(FCurrentUrl, ProxyParams);
    // A connection made for the other kind of route (a proxy at the origin's
    // own address and port, say) is never taken for this one.
    const bool viaProxy = !ProxyParams.ProxyServer().empty();
    if (viaProxy != FConnectionViaProxy && Connected()) Disconnect();
    FConnectionViaProxy = viaProxy;
    if (viaProxy) return SelectProxyRoute();
    const int32_t port = PortNumber(FCurrentUrl.PortText);
    if (!SameText(Host, FCurrentUrl.HostName) || Port != port) {
        if (Connected()) Disconnect();
        SetHost(FCurrentUrl.HostName);
        SetPort(port);
    }
    TIdSSLIOHandlerSocket* tls = TlsTransport();
    if (SameText(FCurrentUrl.Scheme, "https")) {
        if (!HasTlsTransport()) throw EIdIOHandlerPropInvalid("IOHandler value is not valid");
        // A plain connection to the same port cannot turn into TLS half way.
        if (tls && Connected() && !tls->Encrypted()) Disconnect();
        if (tls) {
            tls->PeerHostName = FCurrentUrl.HostName;
            tls->SetPassThrough(false);
        }
        return RouteTls;
    }
    if (tls) {
        if (Connected() && tls->Encrypted()) Disconnect();
        tls->SetPassThrough(true);
    }
    return RouteDirect;
}

TIdHTTPRoute TIdCustomHTTP::SelectProxyRoute() {
    if ((!SameText(Host, ProxyParams.ProxyServer()) || Port != ProxyParams.ProxyPort()) && Connected())
        Disconnect();
    // The connection goes to the proxy; CurrentUrl keeps the origin.
    Host = ProxyParams.ProxyServer();
    Port = ProxyParams.ProxyPort();
    TIdSSLIOHandlerSocket* tls = TlsTransport();
    if (SameText(FCurrentUrl.Scheme, "https")) {
        if (!HasTlsTransport()) throw EIdIOHandlerPropInvalid("IOHandler value is not valid");
        // A tunnel to another origin is of no use; a plain connection to the
        // proxy can still ask for one.
        if (tls && Connected() && tls->Encrypted() && FTunnelTarget != TunnelTarget()) Disconnect();
        if (tls) tls->PeerHostName = FCurrentUrl.HostName;
        return RouteTlsProxy;
    }
    // The proxy must read this request itself, not an origin at the end of a tunnel.
    if (tls && Connected() && tls->Encrypted()) Disconnect();
    if (tls) tls->SetPassThrough(true);
    return RouteProxy;
}

std::string TIdCustomHTTP::TunnelTarget() const {
    return FCurrentUrl.HostText() + ":" + FCurrentUrl.PortText;
}

bool TIdCustomHTTP::TunnelStands() {
    TIdSSLIOHandlerSocket* tls = TlsTransport();
    if (!tls) return false;
    if (!Response().KeepConnection()) Disconnect();
    RetireUnfitConnection();
    return Connected() && tls->Encrypted() && FTunnelTarget == TunnelTarget();
}

void TIdCustomHTTP::PrepareRoute() {
    TIdHTTPRequest& request = Request();
    request.Route = SelectRoute();
    if (request.Route == RouteProxy) {
        PortNumber(FCurrentUrl.PortText);
        request.Target = FCurrentUrl.PlainUrl();
    }
    if (ProtocolVersion == pv1_0 && request.Connection.empty()) {
        if (request.Route == RouteDirect) request.Connection = "keep-alive";
        if (request.Route == RouteProxy) request.ProxyConnection = "keep-alive";
    }
    if (request.Route == RouteTls || request.Route == RouteTlsProxy) request.Connection.clear();
}

void TIdCustomHTTP::EstablishRoute() {
    PrepareRoute();
    // Its request is on the wire already, and the replies before it are read;
    // unless the request changed since (a range, a header line), whose reply
    // is then not this one's.
    if (std::exchange(FRequestSentAhead, false)) {
        if (Connected() && RequestHead() == FSentHead) return;
        if (Connected()) Disconnect();
        ForgetSentAhead();
    }
    // A request of its own would be answered after the replies still due, and
    // read as one of them.
    if (!FSentAhead.empty()) {
        if (Connected()) Disconnect();
        ForgetSentAhead();
    }
    TIdHTTPRequest& request = Request();
    if (request.Route == RouteTlsProxy && !TunnelStands())
        OpenTunnel();
    else
        EnsureConnected();
    WriteRequest(*FProtocol, &FCurrentUrl);
    if ((request.RequestMethod == hmPost || request.RequestMethod == hmPut) && request.UploadStream)
        WriteFromStream(*request.UploadStream, true);
}

void TIdCustomHTTP::EnsureConnected() {
    if (!Response().KeepConnection()) Disconnect();
    RetireUnfitConnection();
    if (Connected()) return;
    ForgetSentAhead(); // a new connection has shown nothing yet
    try {
        Connect(ReadTimeout);
    } catch (const EIdSSLProtocolReplyError&) {
        Disconnect();
        throw;
    }
}

void TIdCustomHTTP::OpenTunnel() {
    TIdHTTPProtocol tunnel(this);
    TMemoryStream scratch;
    TIdHTTPRequest& request = *tunnel.Request;
    request.UserAgent = Request().UserAgent;
    request.Host = Request().Host;
    request.SetContentLength(Request().ContentLength());
    request.Pragma = "no-cache";
    request.ProxyConnection = "keep-alive";
    request.RequestMethod = hmConnect;
    request.Route = RouteTlsProxy;
    request.Target = TunnelTarget();
    // Never read whole: a refused CONNECT's body is kept as far as any
    // refused body is (DecideNextStep bounds it for a CONNECT).
    tunnel.Response->BodyStream = &scratch;
    TIdSSLIOHandlerSocket* tls = TlsTransport();
    for (;;) {
        // The CONNECT goes to the proxy in clear, on a connection of its own.
        if (tls && Connected() && tls->Encrypted()) Disconnect();
        if (tls) tls->SetPassThrough(true);
        EnsureConnected();
        WriteRequest(tunnel, nullptr);
        TIdHTTPResponse& reply = *tunnel.Response;
        reply.StatusLine = ReadLn();
        if (reply.StatusLine.empty()) {
            Disconnect();
            throw EIdHTTPProtocolException(
                -1, "Reply refused: the proxy answered CONNECT without a status line", "");
        }
        // The reply's cookies are the proxy's word, not the origin's: none is
        // kept (nor sent to the origin inside the tunnel).
        tunnel.ReadResponseHeaders();
        if (reply.StatusCode() / 100 == 2) {
            // A 2xx head to CONNECT ends the proxy's part (it has no body,
            // RFC 9110 9.3.6): the next byte must be the origin's, in TLS,
            // after the client's hello. Anything already here was made up
            // by the proxy and is never handed to TLS or the parser.
            if (InputQueue().Size() == 0) FillInputQueue(false, 1, false);
            if (InputQueue().Size() > 0) {
                Disconnect();
                throw EIdHTTPProtocolException(reply.StatusCode(),
                                               "The proxy sent data before the tunnel was ready", "");
            }
            if (tls) {
                tls->SetPassThrough(false);
                FTunnelTarget = TunnelTarget();
            }
            return;
        }
        // Only a 407 may be answered (with the proxy's credentials); a
        // redirect or a 401 of the proxy is its refusal, never followed nor
        // answered with the origin's credentials.
        if (reply.StatusCode() != 407) tunnel.RaiseRefusal();
        const TIdHTTPNextStep step = tunnel.DecideNextStep();
        // Only a credentials retry asks again; any other answer would ask for ever.
        if (!tunnel.FollowIsAuthRetry || step == StepUnknown)
            throw EIdHTTPProtocolException(reply.StatusCode(), reply.StatusLine, scratch.DataString());
    }
}

bool TIdCustomHTTP::SendAhead(const std::string& url) {
    if (!FShownKeepAlive || ProtocolVersion != pv1_1 || FRequestSentAhead) return false;
    std::string head;
    try {
        // A server that closed the idle connection is found out before writing to it.
        if (FSentAhead.empty()) RetireUnfitConnection();
        if (!Connected()) return false;
        Request().Target = url;
        Request().RequestMethod = hmGet;
        Request().UploadStream = nullptr;
        FFetchOrigin.clear(); // a fetch of its own
        ResolveTarget();
        PrepareRoute();
        if ((Request().Route != RouteDirect && Request().Route != RouteProxy) || !Connected()) return false;
        head = RequestHead();
        WriteRequest(*FProtocol, &FCurrentUrl);
    } catch (const Exception&) {
        // Whatever went out of it is not to be trusted; each address is asked
        // again as usual when its turn comes, with whatever failure that brings.
        Disconnect();
        ForgetSentAhead();
        return false;
    }
    FSentAhead.push_back({url, std::move(head)});
    return true;
}

bool TIdCustomHTTP::NextSentAhead(const std::string& url) {
    return !FSentAhead.empty() && FSentAhead.front().Url == url && Connected();
}

bool TIdCustomHTTP::TakeSentAhead(const std::string& url) {
    if (FSentAhead.empty()) return false;
    if (NextSentAhead(url)) {
        FSentHead = std::move(FSentAhead.front().Head);
        FSentAhead.pop_front();
        return true;
    }
    // Its reply, or one before it, can no longer be read in turn.
    if (Connected()) Disconnect();
    ForgetSentAhead();
    return false;
}

void TIdCustomHTTP::ForgetSentAhead() {
    FSentAhead.clear();
    FShownKeepAlive = false;
}
