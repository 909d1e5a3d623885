// quillora-fetch over https from a real server (nginx with a certificate of
// the test CA): trusted through --cacert, refused without it, and fetched
// unverified with -k, which it says once.

#include "QuilloraFetchRun.h"
#include "support/RealServers.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

TEST(QuilloraFetchHttps, CertificatesAreVerifiedUnlessTurnedOffByName) {
    TNginxServer server(TNginxTls{TestPki().Good.Cert, TestPki().Good.Key});
    const std::string body(100000, 'q');
    server.Root().WriteFile("pic", body);
    const std::string url = server.HttpsUrl("pic");
    const std::string warning = "quillora-fetch: warning: certificates are not verified (-k)\n";

    const TFetchRun trusted = RunFetch({"--cacert", TestPki().CAFile, url, url});
    EXPECT_EQ(trusted.ExitCode, 0) << trusted.Err;
    EXPECT_TRUE(trusted.Out == body + body);
    EXPECT_EQ(trusted.Err, "");

    const TFetchRun refused = RunFetch({url});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(refused.Out, "");
    EXPECT_NE(refused.Err.find(std::string("TLS handshake with 127.0.0.1 failed: ") +
                               X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)),
              std::string::npos)
        << refused.Err;

    for (const char* option : {"-k", "--insecure"}) {
        const TFetchRun insecure = RunFetch({option, url, url});
        EXPECT_EQ(insecure.ExitCode, 0) << insecure.Err;
        EXPECT_TRUE(insecure.Out == body + body);
        EXPECT_EQ(insecure.Err, warning);
    }
}

TEST(QuilloraFetchHttps, AnUnreadableCaBundleFailsBeforeAnyFetch) {
    TTempFolder scratch;
    scratch.WriteFile("bad.pem", "no certificate\n");
    const TFetchRun run = RunFetch({"--cacert", scratch.Path() + "/bad.pem", "https://127.0.0.1:1/"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Err.find("Cannot read the CA certificates in " + scratch.Path() + "/bad.pem: "), std::string::npos)
        << run.Err;
    EXPECT_EQ(run.Err.find("Socket Error"), std::string::npos) << run.Err;
}

// A body that ends with the connection, cut by a bare TCP close instead of
// the TLS goodbye, may be a part taken for the whole: refused, nothing written.
TEST(QuilloraFetchHttps, ABodyCutWithoutTheTlsGoodbyeFails) {
    const std::string reply = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nvar albums = [1, 2";
    TTempFolder scratch;
    const std::string file = scratch.Path() + "/list.js";
    {
        TTlsPeer peer(TestPki().Good, {reply}, "127.0.0.1", false);
        const TFetchRun cut =
            RunFetchIn(scratch, {"--cacert", TestPki().CAFile, "-o", file, peer.Url("/list.js")});
        EXPECT_EQ(cut.ExitCode, 1);
        EXPECT_NE(cut.LastErrLine().find("Connection closed without the TLS goodbye; the body may be cut"),
                  std::string::npos)
            << cut.Err;
        EXPECT_NE(::access(file.c_str(), F_OK), 0);
    }
    TTlsPeer peer(TestPki().Good, {reply}, "127.0.0.1", true);
    const TFetchRun whole =
        RunFetchIn(scratch, {"--cacert", TestPki().CAFile, "-o", file, peer.Url("/list.js")});
    EXPECT_EQ(whole.ExitCode, 0) << whole.Err;
    EXPECT_EQ(scratch.ReadFile("list.js"), "var albums = [1, 2");
}
