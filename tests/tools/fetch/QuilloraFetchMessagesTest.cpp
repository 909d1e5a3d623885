// What quillora-fetch says when it cannot do what it was asked, in words a
// user can act on: the file error of a CA bundle, the scheme it does not
// speak, the way to trust a certificate it refused; and a URL without a
// scheme taken as http, as curl takes it. -v shows the TLS session as curl's
// -v does.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/ForgingProxy.h"
#include "support/RealServers.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

namespace {

using namespace wire;

const std::string Ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string Hint = "use --cacert FILE to trust a private CA, or -k to skip the check";

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

} // namespace

// Failures before any byte goes out: status 1, one line that says which
// file or scheme, and why, in the words of whoever knows.
TEST(QuilloraFetchMessages, FailuresBeforeAnyRequest) {
    TTempFolder scratch;
    scratch.WriteFile("junk.pem", "no certificate\n");
    const std::string bundle =
        "EIdSSLProtocolReplyError: Cannot read the CA certificates in " + scratch.Path();
    const std::string closed = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    struct TCase {
        std::vector<std::string> Args;
        std::string Err;
    };
    const std::vector<TCase> cases{
        {{"--cacert", scratch.Path() + "/nope.pem", "https://" + closed + "/"},
         bundle + "/nope.pem: No such file or directory"},
        {{"--cacert", scratch.Path(), "https://" + closed + "/"}, bundle + ": Is a directory"},
        {{"--cacert", scratch.Path() + "/junk.pem", "https://" + closed + "/"},
         bundle + "/junk.pem: no certificate or crl found"},
        {{"ftp://" + closed + "/x"}, "EIdUnknownProtocol: Protocol ftp is not supported"},
        {{"FTP://" + closed + "/x"}, "EIdUnknownProtocol: Protocol FTP is not supported"},
        {{"gopher://" + closed + "/x"}, "EIdUnknownProtocol: Protocol gopher is not supported"},
        {{"file:///etc/hostname"}, "EIdUnknownProtocol: Protocol file is not supported"},
        {{"-x", closed, "ftp://" + closed + "/x"}, "EIdUnknownProtocol: Protocol ftp is not supported"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Args));
        const TFetchRun run = RunFetch(c.Args);
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_EQ(run.Out, "");
        EXPECT_EQ(run.Err, c.Err + "\n");
    }
}

// A command line that asks for what there is not: status 2, before any request.
TEST(QuilloraFetchMessages, AWriteOutVariableThereIsNot) {
    const TFetchRun run = RunFetch({"-w", "%{http_code} %{time_total}", "http://127.0.0.1:1/"});
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(FirstLine(run.Err),
              "quillora-fetch: -w: there is no variable %{time_total} (there are http_code, size_download)");
}

// "host:port/path" is "http://host:port/path", as curl reads it; -O takes
// the name from it the same way.
TEST(QuilloraFetchMessages, AUrlWithoutASchemeIsHttp) {
    TScriptedPeer peer(Reply(Ok));
    const std::string where = "127.0.0.1:" + std::to_string(peer.Port());
    const TFetchRun run = RunFetch({where + "/x?u=http://elsewhere/"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "ok");
    peer.Stop();
    EXPECT_EQ(peer.Received(), Replace(Get("/x?u=http://elsewhere/"), peer.Port()));

    TScriptedPeer named(Reply(Ok));
    TTempFolder folder;
    const TFetchRun saved = RunFetchIn(
        folder, {"-O", "127.0.0.1:" + std::to_string(named.Port()) + "/a/photo.jpg"}, "out", folder.Path());
    EXPECT_EQ(saved.ExitCode, 0) << saved.Err;
    EXPECT_EQ(folder.ReadFile("photo.jpg"), "ok");
}

// A certificate the client does not trust is followed by the ways to trust
// it; a TLS failure of another kind is not.
TEST(QuilloraFetchMessages, ACertificateFailureSaysHowToTrustIt) {
    struct TCase {
        const TTestCertificate* Certificate;
        std::vector<std::string> Options;
        std::string Reason;
    };
    const std::vector<TCase> cases{
        {&TestPki().Good, {}, X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
        {&TestPki().SelfSigned,
         {"--cacert", TestPki().CAFile},
         X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)},
        {&TestPki().WrongHost,
         {"--cacert", TestPki().CAFile},
         X509_verify_cert_error_string(X509_V_ERR_IP_ADDRESS_MISMATCH)},
    };
    for (const TCase& c : cases) {
        TTlsPeer peer(*c.Certificate, {Ok});
        std::vector<std::string> args = c.Options;
        args.push_back(peer.Url("/x"));
        SCOPED_TRACE(testing::PrintToString(args));
        const TFetchRun run = RunFetch(args);
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_EQ(run.Err, "EIdSSLProtocolReplyError: TLS handshake with 127.0.0.1 failed: " + c.Reason +
                               "\n" + Hint + "\n");
        // -s keeps both quiet.
        args.insert(args.begin(), "-s");
        TTlsPeer again(*c.Certificate, {Ok});
        args.back() = again.Url("/x");
        EXPECT_EQ(RunFetch(args).Err, "");
    }
    // An http server spoken to in TLS: no certificate to trust, no hint.
    TScriptedPeer plain(TPeerScript{S::ReadBytes(1), S::Send(Ok), S::Close()});
    const TFetchRun run = RunFetch({"https://127.0.0.1:" + std::to_string(plain.Port()) + "/"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err.find(Hint), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.rfind("EIdSSLProtocolReplyError: TLS handshake with 127.0.0.1 failed: ", 0), 0u)
        << run.Err;
}

// -v shows the session after the handshake, once per connection, before the
// first request on it: version and cipher, the certificate's names, whether
// it was verified.
TEST(QuilloraFetchMessages, VerboseShowsTheTlsSession) {
    struct TCase {
        std::vector<std::string> Options;
        std::string Verified;
    };
    const std::vector<TCase> cases{
        {{"--cacert", TestPki().CAFile}, "* certificate verified"},
        {{"-k"}, "* certificate not verified (--insecure)"},
    };
    for (const TCase& c : cases) {
        TTlsPeer peer(TestPki().Good, {Ok, Ok});
        std::vector<std::string> args = c.Options;
        args.insert(args.end(), {"-v", peer.Url("/a"), peer.Url("/b")});
        SCOPED_TRACE(testing::PrintToString(args));
        const TFetchRun run = RunFetch(args);
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_EQ(run.Out, "okok");
        const std::string session = "* TLS 1.3, TLS_AES_256_GCM_SHA384\n* subject: CN=localhost\n"
                                    "* issuer: CN=Quillora Test CA\n" +
                                    c.Verified + "\n> GET /a HTTP/1.1\n";
        EXPECT_NE(run.Err.find(session), std::string::npos) << run.Err;
        // One connection, one session shown.
        EXPECT_EQ(run.Err.find("* TLS 1.3", run.Err.find("> GET /a")), std::string::npos) << run.Err;
    }
}

// Through a proxy's tunnel the session comes after the CONNECT exchange,
// before the first request inside it.
TEST(QuilloraFetchMessages, VerboseShowsTheTlsSessionInsideATunnel) {
    TTlsPeer origin(TestPki().Good, {Ok});
    TForgingProxy proxy("HTTP/1.1 200 Connection established\r\n\r\n", origin.Port());
    const TFetchRun run = RunFetch({"-v", "-x", "127.0.0.1:" + std::to_string(proxy.Port()), "--cacert",
                                    TestPki().CAFile, origin.Url("/t")});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "ok");
    const size_t connect = run.Err.find("> CONNECT 127.0.0.1:" + std::to_string(origin.Port()));
    const size_t session =
        run.Err.find("* TLS 1.3, TLS_AES_256_GCM_SHA384\n* subject: CN=localhost\n"
                     "* issuer: CN=Quillora Test CA\n* certificate verified\n> GET /t HTTP/1.1\n");
    EXPECT_NE(connect, std::string::npos) << run.Err;
    EXPECT_NE(session, std::string::npos) << run.Err;
    EXPECT_LT(connect, session) << run.Err;
}

// curl's -v names the same certificate the same way.
TEST(QuilloraFetchMessages, CurlShowsTheSameCertificateNames) {
    if (::access("/usr/bin/curl", X_OK) != 0)
        GTEST_SKIP() << "curl is not installed (scripts/setup.sh installs it)";
    TTlsPeer peer(TestPki().Good, {Ok});
    TTempFolder scratch;
    const std::string command = "/usr/bin/curl -q -s -v --cacert '" + TestPki().CAFile + "' -o /dev/null '" +
                                peer.Url("/c") + "' 2> '" + scratch.Path() + "/err'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> names;
    for (const std::string& line : Lines(scratch.ReadFile("err")))
        for (const char* field : {"*  subject: ", "*  issuer: "})
            if (line.rfind(field, 0) == 0) names.push_back(line.substr(3));
    EXPECT_EQ(names, (std::vector<std::string>{"subject: CN=localhost", "issuer: CN=Quillora Test CA"}));
}
