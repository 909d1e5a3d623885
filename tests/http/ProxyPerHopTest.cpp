// The proxy is chosen for every request, each redirect hop included, by the
// one rule (ClientSettings' ProxyFor): a hop to a bypassed host leaves the
// proxy, a hop from one comes to it, and an https hop takes https_proxy,
// never http_proxy. Scripted proxies and origins show who was asked what.

#include "HttpWireCase.h"
#include "http/ClientSettings.h"
#include "net/IdSSLIOHandlerSocket.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

namespace {

using namespace wire;

std::string At(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string Moved(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// A reply and then the connection kept until the client leaves.
TPeerScript Answer(const std::string& reply) {
    return TPeerScript{S::ReadUntil(RequestEnd), S::Send(reply), S::ReadToClose()};
}

TProxyRule Rule(const std::string& httpProxy, const std::string& httpsProxy, const std::string& noProxy) {
    TProxyRule rule;
    rule.HttpProxy = httpProxy;
    rule.HttpsProxy = httpsProxy;
    rule.NoProxy = noProxy;
    return rule;
}

std::string ConnectHead(const std::string& target) {
    return "CONNECT " + target +
           " HTTP/1.1\r\nContent-Type: text/html\r\nPragma: no-cache\r\n"
           "Proxy-Connection: keep-alive\r\nHost: " +
           target +
           "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n\r\n";
}

std::string Fetch(TIdHTTP& client, const std::string& url) {
    TMemoryStream body;
    client.FetchToStream(url, body);
    return body.DataString();
}

} // namespace

TEST(ProxyPerHop, ARedirectToABypassedHostLeavesTheProxy) {
    TScriptedPeer origin(Answer("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ndirect"));
    TScriptedPeer proxy(Answer(Moved("http://" + At(origin.Port()) + "/b")));
    {
        TIdHTTP client;
        client.HandleRedirects = true;
        const std::string url = "http://origin.test/a";
        UseProxyRule(client, Rule(At(proxy.Port()), "", "127.0.0.1"), url);
        EXPECT_EQ(Fetch(client, url), "direct");
    }
    proxy.Stop();
    origin.Stop();
    EXPECT_EQ(proxy.Received(), Get("http://origin.test:80/a", "", "origin.test"));
    EXPECT_EQ(origin.Received(), Get("/b", "", At(origin.Port())));
}

TEST(ProxyPerHop, ARedirectFromABypassedHostComesToTheProxy) {
    TScriptedPeer proxy(Answer("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nproxied"));
    TScriptedPeer origin(Answer(Moved("http://origin.test/d")));
    {
        TIdHTTP client;
        client.HandleRedirects = true;
        const std::string url = "http://" + At(origin.Port()) + "/c";
        UseProxyRule(client, Rule(At(proxy.Port()), "", "localhost, 127.0.0.1"), url);
        EXPECT_EQ(client.ProxyParams.ProxyServer(), "");
        EXPECT_EQ(Fetch(client, url), "proxied");
        EXPECT_EQ(client.ProxyParams.ProxyServer(), "127.0.0.1");
    }
    proxy.Stop();
    origin.Stop();
    EXPECT_EQ(origin.Received(), Get("/c", "", At(origin.Port())));
    EXPECT_EQ(proxy.Received(), Get("http://origin.test:80/d", "", "origin.test"));
}

// With only http_proxy set, an https address reached by a redirect goes
// direct, as one typed directly does; with https_proxy set, through its tunnel.
TEST(ProxyPerHop, AnHttpsHopNeverTakesHttpProxy) {
    TTlsPeer secure(TestPki().Good, {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecure"});
    TScriptedPeer proxy(Answer(Moved(secure.Url("/s"))));
    {
        TIdHTTP client;
        client.HandleRedirects = true;
        client.ReadTimeout = 5000;
        client.UseTlsTransport(std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true}));
        const std::string url = "http://origin.test/a";
        UseProxyRule(client, Rule(At(proxy.Port()), "", ""), url);
        EXPECT_EQ(Fetch(client, url), "secure");
    }
    proxy.Stop();
    EXPECT_EQ(proxy.Received(), Get("http://origin.test:80/a", "", "origin.test"));
    EXPECT_EQ(proxy.AcceptedCount(), 1u);
    EXPECT_EQ(secure.Received(), Get("/s", "", At(secure.Port())));
}

TEST(ProxyPerHop, AnHttpsHopTakesHttpsProxy) {
    TScriptedPeer plainProxy(Answer(Moved("https://secure.test:8443/s")));
    TScriptedPeer secureProxy(Answer("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"));
    {
        TIdHTTP client;
        client.HandleRedirects = true;
        client.ReadTimeout = 5000;
        client.UseTlsTransport(std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true}));
        const std::string url = "http://origin.test/a";
        UseProxyRule(client, Rule(At(plainProxy.Port()), At(secureProxy.Port()), ""), url);
        try {
            Fetch(client, url);
            FAIL() << "no failure";
        } catch (const EIdHTTPProtocolException& e) {
            EXPECT_EQ(e.Message(), "HTTP/1.1 403 Forbidden");
        }
        EXPECT_EQ(client.ProxyParams.ProxyPort(), secureProxy.Port());
    }
    plainProxy.Stop();
    secureProxy.Stop();
    EXPECT_EQ(plainProxy.Received(), Get("http://origin.test:80/a", "", "origin.test"));
    EXPECT_EQ(secureProxy.Received(), ConnectHead("secure.test:8443"));
}

// The CONNECT target and the absolute target for a proxy write an IPv6
// literal in brackets.
TEST(ProxyPerHop, IPv6LiteralsAreBracketedForTheProxy) {
    // Both on the one connection to the proxy, which stays open.
    TScriptedPeer proxy(
        TPeerScript{S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nv6"),
                    S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"),
                    S::ReadToClose()});
    {
        TIdHTTP client;
        client.ReadTimeout = 5000;
        client.UseTlsTransport(std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true}));
        UseProxyRule(client, Rule(At(proxy.Port()), At(proxy.Port()), ""), "http://[2001:db8::7]:8080/p");
        EXPECT_EQ(Fetch(client, "http://[2001:db8::7]:8080/p"), "v6");
        EXPECT_THROW(Fetch(client, "https://[2001:db8::7]/q"), EIdHTTPProtocolException);
    }
    proxy.Stop();
    EXPECT_EQ(proxy.Received(0), Get("http://[2001:db8::7]:8080/p", "", "[2001:db8::7]:8080") +
                                     ConnectHead("[2001:db8::7]:443"));
}
