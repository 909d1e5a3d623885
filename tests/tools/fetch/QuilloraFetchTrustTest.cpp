// quillora-fetch against peers that must not be believed: redirects that
// lead to other origins (the credentials stay with the first one unless
// --location-trusted, and never go out in clear after https), a proxy that
// slips bytes in after its answer to CONNECT, and the proxy chosen again on
// every redirect hop.
//
// The redirect chains go through a scripted proxy, so that every hop of
// every origin (a.test, b.test, ...) is seen on one connection, in order.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/ForgingProxy.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>

namespace {

using namespace wire;

std::string Moved(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

std::string Done(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string Challenge =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 0\r\n\r\n";

// A proxy that answers the requests of one connection in turn.
TPeerScript Answers(const std::vector<std::string>& replies) {
    TPeerScript script;
    for (const std::string& reply : replies) {
        script.push_back(S::ReadUntil(RequestEnd));
        script.push_back(S::Send(reply));
    }
    script.push_back(S::ReadToClose());
    return script;
}

// The request heads in received, in order.
std::vector<std::string> Requests(const std::string& received) {
    std::vector<std::string> heads;
    for (size_t start = 0, end; (end = received.find("\r\n\r\n", start)) != std::string::npos;
         start = end + 4)
        heads.push_back(received.substr(start, end + 2 - start));
    return heads;
}

bool Has(const std::string& head, const std::string& line) {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

const std::vector<std::string> SecretHeaders = {"Authorization: Bearer t0ken", "Cookie: session=s3cret",
                                                "Proxy-Authorization: Basic cHg6cHc="};

std::vector<std::string> WithSecrets(std::vector<std::string> args) {
    std::vector<std::string> all;
    for (const std::string& header : SecretHeaders) {
        all.push_back("-H");
        all.push_back(header);
    }
    all.push_back("-H");
    all.push_back("X-Plain: 1");
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

std::string ProxyArg(const TScriptedPeer& proxy) {
    return "127.0.0.1:" + std::to_string(proxy.Port());
}

} // namespace

// a.test -> b.test -> a.test:8080 -> a.test: the -H credentials go to a.test
// (port 80, http) only; other header lines go everywhere.
TEST(QuilloraFetchTrust, CredentialHeadersStayWithTheFirstOrigin) {
    TScriptedPeer proxy(Answers(
        {Moved("http://b.test/2"), Moved("http://a.test:8080/3"), Moved("http://A.TEST/4"), Done("end")}));
    const TFetchRun run = RunFetch(WithSecrets({"-L", "-x", ProxyArg(proxy), "http://a.test/1"}));
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "end");
    proxy.Stop();
    const std::vector<std::string> hops = Requests(proxy.Received());
    ASSERT_EQ(hops.size(), 4u) << proxy.Received();
    const bool expected[] = {true, false, false, true};
    for (size_t k = 0; k < hops.size(); ++k) {
        SCOPED_TRACE(hops[k]);
        for (const std::string& secret : SecretHeaders)
            EXPECT_EQ(Has(hops[k], secret), expected[k]) << secret;
        EXPECT_TRUE(Has(hops[k], "X-Plain: 1"));
    }
}

// --location-trusted sends them on, as curl's does.
TEST(QuilloraFetchTrust, LocationTrustedSendsThemOn) {
    TScriptedPeer proxy(Answers({Moved("http://b.test/2"), Moved("http://a.test:8080/3"), Done("end")}));
    const TFetchRun run =
        RunFetch(WithSecrets({"--location-trusted", "-x", ProxyArg(proxy), "http://a.test/1"}));
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "end");
    proxy.Stop();
    const std::vector<std::string> hops = Requests(proxy.Received());
    ASSERT_EQ(hops.size(), 3u) << proxy.Received();
    for (const std::string& hop : hops)
        for (const std::string& secret : SecretHeaders)
            EXPECT_TRUE(Has(hop, secret)) << hop << secret;
}

// -u answers the first origin's challenge; another origin's is not
// answered, and its request carries no Authorization of the first.
TEST(QuilloraFetchTrust, UserCredentialsAnswerOnlyTheFirstOrigin) {
    TScriptedPeer proxy(Answers({Challenge, Moved("http://b.test/2"), Challenge}));
    const TFetchRun run = RunFetch({"-fL", "-u", "user:pass", "-x", ProxyArg(proxy), "http://a.test/1"});
    EXPECT_EQ(run.ExitCode, 22);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.LastErrLine(), "EIdHTTPProtocolException: The requested URL returned error: 401");
    proxy.Stop();
    const std::vector<std::string> hops = Requests(proxy.Received());
    ASSERT_EQ(hops.size(), 3u) << proxy.Received();
    EXPECT_FALSE(Has(hops[0], "Authorization: Basic dXNlcjpwYXNz"));
    EXPECT_TRUE(Has(hops[1], "Authorization: Basic dXNlcjpwYXNz"));
    EXPECT_EQ(hops[2].find("Authorization"), std::string::npos) << hops[2];

    TScriptedPeer trusting(Answers({Challenge, Moved("http://b.test/2"), Challenge, Done("b")}));
    const TFetchRun trusted =
        RunFetch({"--location-trusted", "-u", "user:pass", "-x", ProxyArg(trusting), "http://a.test/1"});
    EXPECT_EQ(trusted.ExitCode, 0) << trusted.Err;
    EXPECT_EQ(trusted.Out, "b");
    trusting.Stop();
    const std::vector<std::string> trustedHops = Requests(trusting.Received());
    ASSERT_EQ(trustedHops.size(), 4u) << trusting.Received();
    EXPECT_TRUE(Has(trustedHops[3], "Authorization: Basic dXNlcjpwYXNz")) << trustedHops[3];
}

// After a redirect from https to http, nothing secret is sent in clear,
// --location-trusted or not.
TEST(QuilloraFetchTrust, NothingSecretInClearAfterHttps) {
    for (const char* follow : {"-L", "--location-trusted"}) {
        SCOPED_TRACE(follow);
        TScriptedPeer plain(Reply(Done("plain")));
        TTlsPeer secure(TestPki().Good,
                        {Challenge, Moved("http://127.0.0.1:" + std::to_string(plain.Port()) + "/clear")});
        const TFetchRun run = RunFetch(
            WithSecrets({follow, "-u", "user:pass", "--cacert", TestPki().CAFile, secure.Url("/start")}));
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_EQ(run.Out, "plain");
        // The https origin got them (the -H lines, and -u after its challenge).
        const std::vector<std::string> secureHops = Requests(secure.Received());
        ASSERT_EQ(secureHops.size(), 2u);
        EXPECT_TRUE(Has(secureHops[0], "Authorization: Bearer t0ken") ||
                    Has(secureHops[0], "Cookie: session=s3cret"));
        EXPECT_TRUE(Has(secureHops[1], "Authorization: Basic dXNlcjpwYXNz")) << secureHops[1];
        plain.Stop();
        const std::string clear = plain.Received();
        EXPECT_NE(clear.find("GET /clear HTTP/1.1\r\n"), std::string::npos) << clear;
        EXPECT_EQ(clear.find("Authorization"), std::string::npos) << clear;
        EXPECT_EQ(clear.find("Cookie"), std::string::npos) << clear;
        EXPECT_NE(clear.find("X-Plain: 1"), std::string::npos) << clear;
    }
}

// A proxy that answers CONNECT with its 200 and a reply of its own in the
// same write, then relays to the real origin: the fetch fails, exit 1, and
// not a byte of either reaches the output.
TEST(QuilloraFetchTrust, BytesAfterTheConnectHeadReachNoOutput) {
    for (const bool oneByte : {false, true}) {
        SCOPED_TRACE(oneByte ? "one byte per segment" : "whole");
        TTlsPeer origin(TestPki().Good, {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nreal"});
        TForgingProxy proxy("HTTP/1.1 200 Connection established\r\n\r\n"
                            "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged",
                            origin.Port(), oneByte);
        TTempFolder scratch;
        const TFetchRun run = RunFetchIn(scratch, {"-x", "127.0.0.1:" + std::to_string(proxy.Port()),
                                                   "--cacert", TestPki().CAFile, "-o",
                                                   scratch.Path() + "/saved", origin.Url("/photo.jpg")});
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_EQ(run.Out, "");
        EXPECT_EQ(scratch.ReadFile("saved"), "");
        if (!oneByte) {
            EXPECT_EQ(run.LastErrLine(),
                      "EIdHTTPProtocolException: The proxy sent data before the tunnel was ready");
        }
        EXPECT_EQ(run.Err.find("forged"), std::string::npos) << run.Err;
        EXPECT_EQ(origin.Received(), "");
    }
}

// The proxy is asked again on every hop: --noproxy lets a redirect to a
// bypassed host leave the proxy.
TEST(QuilloraFetchTrust, EachHopChoosesItsProxy) {
    TScriptedPeer origin(Reply(Done("direct")));
    TScriptedPeer proxy(Answers({Moved("http://127.0.0.1:" + std::to_string(origin.Port()) + "/b")}));
    const TFetchRun run =
        RunFetch({"-L", "-x", ProxyArg(proxy), "--noproxy", "127.0.0.1", "http://origin.test/a"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "direct");
    proxy.Stop();
    origin.Stop();
    EXPECT_EQ(proxy.Received(), Get("http://origin.test:80/a", "", "origin.test"));
    EXPECT_EQ(origin.Received(), Replace(Get("/b"), origin.Port()));
}
