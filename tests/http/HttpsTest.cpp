// https through the client: a real server, redirects between http and https
// both ways, secure cookies, and the tunnel through a real proxy.

#include "HttpWireCase.h"
#include "http/ClientSettings.h"
#include "net/IdSSLIOHandlerSocket.h"
#include "support/RealServers.h"
#include "support/TestPki.h"
#include "support/TestServers.h"
#include "support/TlsPeer.h"

#include <openssl/x509_vfy.h>

#include <random>

namespace {

using namespace wire;

TIdSSLContextPtr TestTrust() {
    return std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true});
}

std::string At(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string Fetch(TIdHTTP& client, const std::string& url) {
    TMemoryStream stream;
    client.FetchToStream(url, stream);
    return stream.DataString();
}

std::string Moved(int code, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(code) + (code == 301 ? " Moved Permanently" : " Found") +
           "\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

const std::string Ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::string RandomBytes(size_t size) {
    std::mt19937 random(11);
    std::string bytes(size, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

} // namespace

TEST(Https, ARealServersFilesComeThroughByteForByte) {
    TNginxServer server(TNginxTls{TestPki().Good.Cert, TestPki().Good.Key});
    const std::string picture = RandomBytes(3 * 1024 * 1024 + 17);
    server.Root().WriteFile("pic.bin", picture);
    server.Root().WriteFile("empty.txt", "");
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    // By address, by name (localhost is on the certificate), and again on the kept connection.
    EXPECT_EQ(Fetch(client, server.HttpsUrl("pic.bin")), picture);
    EXPECT_EQ(Fetch(client, server.HttpsUrl("empty.txt")), "");
    EXPECT_EQ(Fetch(client, server.HttpsUrl("pic.bin", "localhost")), picture);
    try {
        Fetch(client, server.HttpsUrl("missing.bin"));
        FAIL() << "no failure";
    } catch (const EIdHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode, 404);
    }
}

TEST(Https, AnExpiredCertificateFailsTheRequestAndLeavesNothing) {
    TNginxServer server(TNginxTls{TestPki().Expired.Cert, TestPki().Expired.Key});
    server.Root().WriteFile("pic.bin", "secret");
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    TMemoryStream stream;
    try {
        client.FetchToStream(server.HttpsUrl("pic.bin"), stream);
        FAIL() << "no failure";
    } catch (const EIdSSLProtocolReplyError& e) {
        EXPECT_EQ(e.Message(), std::string("TLS handshake with 127.0.0.1 failed: ") +
                                   X509_verify_cert_error_string(X509_V_ERR_CERT_HAS_EXPIRED));
    }
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_FALSE(client.Connected());
}

TEST(Https, WithoutATlsTransportHttpsIsRefused) {
    TIdHTTP client;
    EXPECT_THROW(
        {
            try {
                client.FetchText("https://127.0.0.1:1/x");
            } catch (const EIdIOHandlerPropInvalid& e) {
                EXPECT_EQ(e.Message(), "IOHandler value is not valid");
                throw;
            }
        },
        EIdIOHandlerPropInvalid);
}

TEST(Https, RedirectsAreFollowedFromHttpToHttpsAndBack) {
    TTlsPeer secure(TestPki().Good, {Moved(302, "http://127.0.0.1:{port}/back"), Ok});
    TScriptedPeer plain(std::vector<TPeerScript>{
        {S::ReadUntil(RequestEnd), S::Send(Moved(301, secure.Url("/moved"))), S::Stall(1500)},
        {S::ReadUntil(RequestEnd), S::Send(Moved(301, secure.Url("/final"))), S::Stall(1500)}});
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    client.HandleRedirects = true;
    client.OnRedirect = [&](TIdComponent*, std::string& dest, int&, bool&, TIdHTTPMethod&) {
        dest = Replace(dest, plain.Port());
    };
    EXPECT_EQ(Fetch(client, "http://" + At(plain.Port()) + "/start"), "ok");
    plain.Stop();
    EXPECT_EQ(plain.Received(0), Get("/start", "", At(plain.Port())));
    EXPECT_EQ(plain.Received(1), Get("/back", "", At(plain.Port())));
    EXPECT_EQ(secure.Received(), Get("/moved", "", At(secure.Port())) + Get("/final", "", At(secure.Port())));
}

TEST(Https, ARelativeRedirectStaysOnHttps) {
    TTlsPeer secure(TestPki().Good, {Moved(302, "/next"), Ok});
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    client.HandleRedirects = true;
    EXPECT_EQ(Fetch(client, secure.Url("/a/first")), "ok");
    EXPECT_EQ(secure.Received(), Get("/a/first", "", At(secure.Port())) + Get("/next", "", At(secure.Port())));
    EXPECT_EQ(secure.Connections(), 1);
}

TEST(Https, ASecureCookieIsNeverSentInClear) {
    const std::string setCookies = "HTTP/1.1 200 OK\r\nSet-Cookie: s=1; secure\r\nSet-Cookie: p=2\r\n"
                                   "Content-Length: 2\r\n\r\nok";
    TTlsPeer secure(TestPki().Good, {setCookies, Ok});
    TScriptedPeer plain({S::ReadUntil(RequestEnd), S::Send(Ok), S::Stall(1500)});
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    EXPECT_EQ(Fetch(client, secure.Url("/set")), "ok");
    EXPECT_EQ(Fetch(client, "http://" + At(plain.Port()) + "/clear"), "ok");
    EXPECT_EQ(Fetch(client, secure.Url("/again")), "ok");
    plain.Stop();
    EXPECT_EQ(plain.Received(), Get("/clear", "Cookie: p=2\r\n", At(plain.Port())));
    EXPECT_EQ(secure.Received(), Get("/set", "", At(secure.Port())) +
                                     Get("/again", "Cookie: s=1; p=2\r\n", At(secure.Port())));
}

namespace {

class TTinyproxy {
  public:
    TTinyproxy() {
        Port = StartOnSomePort([&](int port) {
            FFolder.WriteFile("tinyproxy.conf", "Port " + std::to_string(port) +
                                                    "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                                                    "MaxClients 10\nLogLevel Info\n");
            FProcess = std::make_unique<TChildProcess>(
                std::vector<std::string>{"tinyproxy", "-d", "-c", FFolder.Path() + "/tinyproxy.conf"},
                FFolder.Path() + "/proxy.log");
            return FProcess->Pid();
        });
        if (Port == 0) throw std::runtime_error("tinyproxy did not start: " + FFolder.ReadFile("proxy.log"));
    }
    int Port = 0;

  private:
    TTempFolder FFolder;
    std::unique_ptr<TChildProcess> FProcess;
};

} // namespace

TEST(Https, TheTunnelThroughARealProxyCarriesTlsAndIsKept) {
    TTinyproxy proxy;
    TTlsPeer secure(TestPki().Good, {Ok, Ok});
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    client.ProxyParams.SetProxyServer("127.0.0.1");
    client.ProxyParams.SetProxyPort(proxy.Port);
    EXPECT_EQ(Fetch(client, secure.Url("/one")), "ok");
    EXPECT_EQ(Fetch(client, secure.Url("/two")), "ok");
    // Inside the tunnel the origin gets the request an origin gets, and the
    // second one goes through the same tunnel.
    EXPECT_EQ(secure.Received(), Get("/one", "", At(secure.Port())) + Get("/two", "", At(secure.Port())));
    EXPECT_EQ(secure.Connections(), 1);
}

TEST(Https, TheCertificateIsCheckedInsideTheTunnel) {
    TTinyproxy proxy;
    TTlsPeer secure(TestPki().SelfSigned, {Ok});
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    client.ProxyParams.SetProxyServer("127.0.0.1");
    client.ProxyParams.SetProxyPort(proxy.Port);
    try {
        Fetch(client, secure.Url("/one"));
        FAIL() << "no failure";
    } catch (const EIdSSLProtocolReplyError& e) {
        EXPECT_EQ(e.Message(), std::string("TLS handshake with 127.0.0.1 failed: ") +
                                   X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
    }
    EXPECT_TRUE(secure.Received().empty());
}

TEST(Https, TheProgramsFetchesGetTheTlsTransportOnlyWhenOneIsSet) {
    TIdHTTP plain;
    ApplyClientSettings(plain, "https://127.0.0.1/");
    EXPECT_EQ(plain.TlsTransport(), nullptr);
    SetClientTls(TestTrust());
    TIdHTTP secure;
    ApplyClientSettings(secure, "https://127.0.0.1/");
    SetClientTls(nullptr);
    ASSERT_NE(secure.TlsTransport(), nullptr);
    EXPECT_EQ(secure.TlsTransport()->Context().Settings().CAFile, TestPki().CAFile);
}

namespace {

// What a fetch from a TLS peer that ends its connection with or without the
// goodbye gives: the body, or "Class: message".
std::string FetchFromTlsPeer(const std::string& reply, bool goodbye) {
    TTlsPeer peer(TestPki().Good, {reply}, "127.0.0.1", goodbye);
    TIdHTTP client;
    client.ReadTimeout = 5000;
    client.UseTlsTransport(TestTrust());
    TMemoryStream stream;
    try {
        client.FetchToStream(peer.Url("/list.js"), stream);
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return stream.DataString();
}

} // namespace

// Over TLS, a bare TCP close can come from anyone on the way: a body read to
// the close is whole only when the peer said goodbye. Framed bodies keep
// their own refusal when cut.
TEST(Https, ABodyToTheCloseNeedsTheTlsGoodbye) {
    const std::string untilClose = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nvar albums = [1, 2";
    const std::string cutLength = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nshort";
    const std::string cutChunks =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n5\r\nhello\r\n";
    const std::string closed = "EIdConnClosedGracefully: Connection Closed Gracefully.";
    EXPECT_EQ(FetchFromTlsPeer(untilClose, true), "var albums = [1, 2");
    EXPECT_EQ(FetchFromTlsPeer(untilClose, false),
              "EIdTLSTruncated: Connection closed without the TLS goodbye; the body may be cut");
    EXPECT_EQ(FetchFromTlsPeer(cutLength, false), closed);
    EXPECT_EQ(FetchFromTlsPeer(cutLength, true), closed);
    EXPECT_EQ(FetchFromTlsPeer(cutChunks, false), closed);
    // A framed body that is whole needs no goodbye: its framing proves it.
    EXPECT_EQ(FetchFromTlsPeer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", false),
              "ok");
}
