// The tunnel through a proxy (CONNECT) against hostile proxies: bytes after
// the proxy's 2xx head, cookies in its reply, an endless error body, and
// replies that are no 2xx. Each runs with the proxy's reply in one piece and
// one byte per segment.

#include "HttpWireCase.h"
#include "net/IdSSLIOHandlerSocket.h"
#include "support/ForgingProxy.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <chrono>

namespace {

using namespace wire;

TIdSSLContextPtr TestTrust() {
    return std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true});
}

const std::string Ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string Forged = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged";

void ThroughProxy(TIdHTTP& client, int proxyPort) {
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    client.ProxyParams.SetProxyServer("127.0.0.1");
    client.ProxyParams.SetProxyPort(proxyPort);
}

std::string Failure(TIdHTTP& client, const std::string& url, TMemoryStream& body) {
    try {
        client.FetchToStream(url, body);
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no failure";
}

std::string ConnectHead(int port, const std::string& extra = "") {
    const std::string target = "127.0.0.1:" + std::to_string(port);
    return "CONNECT " + target +
           " HTTP/1.1\r\nContent-Type: text/html\r\nPragma: no-cache\r\n"
           "Proxy-Connection: keep-alive\r\nHost: " +
           target +
           "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n" +
           extra + "\r\n";
}

class Tunnel : public ::testing::TestWithParam<bool> {};

} // namespace

// The proxy answers CONNECT with its 200 and, in the same write, a reply of
// its own making, then relays to the real origin: the client refuses the
// tunnel before its handshake, and the origin is never asked.
TEST_P(Tunnel, BytesAfterTheConnectHeadFailTheFetch) {
    const bool oneByte = GetParam();
    TTlsPeer origin(TestPki().Good, {Ok});
    TForgingProxy proxy("HTTP/1.1 200 Connection established\r\n\r\n" + Forged, origin.Port(), oneByte);
    TIdHTTP client;
    ThroughProxy(client, proxy.Port());
    TMemoryStream body;
    const std::string failure = Failure(client, origin.Url("/photo"), body);
    const std::string refused = "EIdHTTPProtocolException: The proxy sent data before the tunnel was ready";
    if (oneByte && failure != refused) {
        // The bytes after the head came after the client looked: the TLS
        // handshake read them, and refused them as no TLS.
        EXPECT_EQ(failure.rfind("EIdSSLProtocolReplyError: TLS handshake with 127.0.0.1 failed", 0), 0u)
            << failure;
    } else {
        EXPECT_EQ(failure, refused);
    }
    EXPECT_EQ(body.Size(), 0);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(proxy.Heads(), ConnectHead(origin.Port()));
    EXPECT_EQ(origin.Received(), "");
}

// A Set-Cookie in the proxy's reply to CONNECT is not the origin's: it is
// neither kept nor sent to the origin inside the tunnel.
TEST_P(Tunnel, TheConnectReplysCookiesAreNeverStored) {
    TTlsPeer origin(TestPki().Good, {Ok, Ok});
    TForgingProxy proxy("HTTP/1.1 200 Connection established\r\nSet-Cookie: planted=1; Path=/\r\n"
                        "Set-Cookie: other=2\r\n\r\n",
                        origin.Port(), GetParam());
    TIdHTTP client;
    ThroughProxy(client, proxy.Port());
    TMemoryStream one, two;
    client.FetchToStream(origin.Url("/one"), one);
    client.FetchToStream(origin.Url("/two"), two);
    EXPECT_EQ(one.DataString(), "ok");
    EXPECT_EQ(two.DataString(), "ok");
    client.Disconnect();
    EXPECT_EQ(origin.Received().find("planted"), std::string::npos) << origin.Received();
    EXPECT_EQ(origin.Received().find("Cookie"), std::string::npos) << origin.Received();
    EXPECT_EQ(
        client.CookieManager() ? client.CookieManager()->CookieHeaderFor(client.CurrentUrl(), true) : "", "");
}

// A 407 whose body has no end: the client keeps the first 64 KiB, as of any
// refused body, and drops the connection instead of reading on.
TEST_P(Tunnel, A407WithAnEndlessBodyIsBounded) {
    const std::string head = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                             "Proxy-Authenticate: Basic realm=\"proxy\"\r\n\r\n";
    TPeerStep send = S::Send(head + std::string(66000, 'x'), GetParam());
    send.HangUpExpected = true;
    TScriptedPeer proxy(TPeerScript{S::ReadUntil(RequestEnd), send, S::Stall()});
    TIdHTTP client;
    ThroughProxy(client, proxy.Port());
    const auto start = std::chrono::steady_clock::now();
    try {
        TMemoryStream body;
        client.FetchToStream("https://127.0.0.1:9/x", body);
        FAIL() << "no failure";
    } catch (const EIdHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode, 407);
        EXPECT_EQ(e.Message(), "HTTP/1.1 407 Proxy Authentication Required");
        EXPECT_EQ(e.ReplyBody, std::string(TIdHTTPProtocol::RefusedBodyLimit, 'x'));
    }
    // Sent whole, the body is cut at once; one byte per segment takes its time.
    if (!GetParam()) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    EXPECT_FALSE(client.Connected());
    proxy.Stop();
    EXPECT_EQ(proxy.Received(), ConnectHead(9));
}

// The same with the proxy's credentials to give: the endless body is cut
// short, and the CONNECT asked again on a new connection, with them.
TEST_P(Tunnel, A407WithAnEndlessBodyIsAnsweredOnANewConnection) {
    const std::string head = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                             "Proxy-Authenticate: Basic realm=\"proxy\"\r\n\r\n";
    TPeerStep send = S::Send(head + std::string(66000, 'x'), GetParam());
    send.HangUpExpected = true;
    TScriptedPeer proxy({TPeerScript{S::ReadUntil(RequestEnd), send, S::Stall()},
                         Reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 3\r\n\r\nno!")});
    TIdHTTP client;
    ThroughProxy(client, proxy.Port());
    client.HTTPOptions |= hoInProcessAuth;
    client.OnProxyAuthorization = [](TIdComponent*, TIdAuthentication* auth, bool& handled) {
        auth->SetUserName("u");
        auth->SetPassword("p");
        handled = true;
    };
    TMemoryStream body;
    EXPECT_EQ(Failure(client, "https://127.0.0.1:9/x", body),
              "EIdHTTPProtocolException: HTTP/1.1 403 Forbidden");
    proxy.Stop();
    EXPECT_EQ(proxy.AcceptedCount(), 2u);
    EXPECT_EQ(proxy.Received(1), ConnectHead(9, "Proxy-Authorization: Basic dTpw\r\n"));
}

// Only a 2xx opens the tunnel; anything else is the proxy's refusal, never
// followed, never answered with the origin's credentials.
TEST_P(Tunnel, OnlyA2xxOpensTheTunnel) {
    struct TCase {
        const char* Reply;
        const char* Failure; // "" when the tunnel opens
    };
    const TCase cases[] = {
        {"HTTP/1.1 302 Found\r\nLocation: https://evil.example/\r\nContent-Length: 0\r\n\r\n",
         "EIdHTTPProtocolException: HTTP/1.1 302 Found"},
        {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"o\"\r\nContent-Length: 0\r\n\r\n",
         "EIdHTTPProtocolException: HTTP/1.1 401 Unauthorized"},
        {"HTTP/1.1 100 Continue\r\n\r\n", "EIdHTTPProtocolException: HTTP/1.1 100 Continue"},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
         "EIdHTTPProtocolException: HTTP/1.1 404 Not Found"},
        {"\r\n", "EIdHTTPProtocolException: Reply refused: the proxy answered CONNECT without a status line"},
        {"HTTP/1.1 204 Tunnel\r\n\r\n", ""},
        {"HTTP/1.0 299 Whatever\r\n\r\n", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Reply);
        TTlsPeer origin(TestPki().Good, {Ok});
        TForgingProxy proxy(c.Reply, origin.Port(), GetParam());
        TIdHTTP client;
        ThroughProxy(client, proxy.Port());
        client.HandleRedirects = true;
        int asked = 0;
        client.HTTPOptions |= hoInProcessAuth;
        client.OnAuthorization = [&asked](TIdComponent*, TIdAuthentication* auth, bool& handled) {
            ++asked;
            auth->SetUserName("origin");
            auth->SetPassword("secret");
            handled = true;
        };
        TMemoryStream body;
        const std::string failure = Failure(client, origin.Url("/x"), body);
        client.Disconnect();
        EXPECT_EQ(failure, *c.Failure ? c.Failure : "no failure");
        EXPECT_EQ(body.DataString(), *c.Failure ? "" : "ok");
        EXPECT_EQ(asked, 0);
        EXPECT_EQ(proxy.Connections(), 1);
        EXPECT_EQ(origin.Received(),
                  *c.Failure ? "" : Get("/x", "", "127.0.0.1:" + std::to_string(origin.Port())));
    }
}

INSTANTIATE_TEST_SUITE_P(WholeAndOneBytePerSegment, Tunnel, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OneBytePerSegment" : "Whole";
                         });
