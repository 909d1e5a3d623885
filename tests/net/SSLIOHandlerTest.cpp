// The TLS transport against peers that present good and bad certificates,
// speak too old a protocol, or never answer the handshake.

#include "NetTestUtil.h"
#include "net/IdCancelSignal.h"
#include "net/IdException.h"
#include "net/IdSSLIOHandlerSocket.h"
#include "support/RealServers.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <openssl/x509_vfy.h>

namespace {

const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

TIdSSLContextPtr TestTrust(bool verify = true) {
    return std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, verify});
}

// Connects through a TLS transport to port as host, asks for / and answers
// what came back.
std::string Exchange(TIdSSLContextPtr context, int port, const std::string& name = "",
                     const std::string& host = "127.0.0.1") {
    TIdTCPClient client;
    TIdSSLIOHandlerSocket tls(std::move(context));
    tls.PeerHostName = name;
    tls.SetPassThrough(false);
    client.SetIOHandler(&tls);
    client.Host = host;
    client.Port = port;
    client.Connect(5000);
    EXPECT_TRUE(tls.Encrypted());
    client.WriteText("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    return client.ReadAllUntilClose();
}

struct TCertificateCase {
    const char* Name;
    const TTestCertificate& (*Certificate)();
    std::string PeerName; // empty: the address connected to
    bool Verify;
    long Expected; // X509_V_OK: the exchange succeeds
};

const TTestCertificate& Good() { return TestPki().Good; }
const TTestCertificate& Expired() { return TestPki().Expired; }
const TTestCertificate& WrongHost() { return TestPki().WrongHost; }
const TTestCertificate& SelfSigned() { return TestPki().SelfSigned; }
const TTestCertificate& Untrusted() { return TestPki().Untrusted; }

const TCertificateCase CertificateCases[] = {
    {"good, by address", Good, "", true, X509_V_OK},
    {"good, by name", Good, "photo.quillora.example", true, X509_V_OK},
    {"good, by wildcard name", Good, "a.photo.quillora.example", true, X509_V_OK},
    {"good, wildcard one level only", Good, "a.b.photo.quillora.example", true, X509_V_ERR_HOSTNAME_MISMATCH},
    {"expired", Expired, "photo.quillora.example", true, X509_V_ERR_CERT_HAS_EXPIRED},
    {"another host's, by name", WrongHost, "photo.quillora.example", true, X509_V_ERR_HOSTNAME_MISMATCH},
    {"another host's, by address", WrongHost, "", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
    {"self-signed", SelfSigned, "photo.quillora.example", true, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
    {"from an unknown CA", Untrusted, "photo.quillora.example", true, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
    {"expired, verification off", Expired, "photo.quillora.example", false, X509_V_OK},
    {"self-signed, verification off", SelfSigned, "", false, X509_V_OK},
    // An IPv6 address is checked against the IP entries as a dotted quad is,
    // bracketed or not, and never matched as a name.
    {"good, by IPv6 address", Good, "::1", true, X509_V_OK},
    {"good, by bracketed IPv6 address", Good, "[::1]", true, X509_V_OK},
    {"good, by IPv6 address written out", Good, "0:0:0:0:0:0:0:1", true, X509_V_OK},
    {"good, another IPv6 address", Good, "::2", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
    {"good, the IPv4 address mapped to IPv6", Good, "::ffff:127.0.0.1", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
    {"another host's, by IPv6 address", WrongHost, "::1", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
    {"good, by another IPv4 address", Good, "127.0.0.2", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
};

} // namespace

TEST(SSLIOHandler, CertificatesAreCheckedAgainstTheTrustedCA) {
    for (const TCertificateCase& c : CertificateCases) {
        SCOPED_TRACE(c.Name);
        TTlsPeer peer(c.Certificate(), {Reply});
        if (c.Expected == X509_V_OK) {
            EXPECT_EQ(Exchange(TestTrust(c.Verify), peer.Port(), c.PeerName), Reply);
            continue;
        }
        const std::string name = c.PeerName.empty() ? "127.0.0.1" : c.PeerName;
        try {
            Exchange(TestTrust(c.Verify), peer.Port(), c.PeerName);
            ADD_FAILURE() << "no failure";
        } catch (const EIdSSLProtocolReplyError& e) {
            EXPECT_EQ(e.Message(), "TLS handshake with " + name + " failed: " +
                                       X509_verify_cert_error_string(c.Expected));
        }
        EXPECT_TRUE(peer.Received().empty());
    }
}

// The host connected to is the address checked when no name is given.
TEST(SSLIOHandler, AnIPv6HostIsCheckedAgainstTheIPEntries) {
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        TTlsPeer good(TestPki().Good, {Reply}, "::1");
        EXPECT_EQ(Exchange(TestTrust(), good.Port(), "", host), Reply);
        TTlsPeer other(TestPki().WrongHost, {Reply}, "::1");
        EXPECT_EQ(Raised([&] { Exchange(TestTrust(), other.Port(), "", host); }),
                  std::string("EIdSSLProtocolReplyError: TLS handshake with ") + host +
                      " failed: " + X509_verify_cert_error_string(X509_V_ERR_IP_ADDRESS_MISMATCH));
    }
}

TEST(SSLIOHandler, TheSystemStoreDoesNotTrustTheTestCA) {
    TTlsPeer peer(TestPki().Good, {Reply});
    try {
        Exchange(std::make_shared<const TIdSSLContext>(TIdSSLSettings{"", true}), peer.Port());
        FAIL() << "no failure";
    } catch (const EIdSSLProtocolReplyError& e) {
        EXPECT_EQ(e.Message(), std::string("TLS handshake with 127.0.0.1 failed: ") +
                                   X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY));
    }
}

// The reason is the system's for a file that cannot be opened, OpenSSL's
// for one that holds no certificate.
TEST(SSLIOHandler, AnUnreadableCABundleIsRefusedAtOnce) {
    TTempFolder folder;
    folder.WriteFile("empty.pem", "not a certificate\n");
    const std::pair<std::string, std::string> cases[] = {
        {folder.Path() + "/missing.pem", "No such file or directory"},
        {folder.Path(), "Is a directory"},
        {folder.Path() + "/empty.pem", "no certificate or crl found"},
    };
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(file);
        try {
            TIdSSLContext context(TIdSSLSettings{file, true});
            ADD_FAILURE() << "no failure";
        } catch (const EIdSSLProtocolReplyError& e) {
            EXPECT_EQ(e.Message(), "Cannot read the CA certificates in " + file + ": " + reason);
        }
    }
}

// What the transport tells tools of a session it negotiated, and whether a
// failed handshake was the certificate's fault.
TEST(SSLIOHandler, TellsTheSessionAndARefusedCertificate) {
    for (const TCertificateCase& c : CertificateCases) {
        SCOPED_TRACE(c.Name);
        TTlsPeer peer(c.Certificate(), {Reply});
        TIdTCPClient client;
        TIdSSLIOHandlerSocket tls(TestTrust(c.Verify));
        tls.PeerHostName = c.PeerName;
        tls.SetPassThrough(false);
        client.SetIOHandler(&tls);
        client.Host = "127.0.0.1";
        client.Port = peer.Port();
        EXPECT_FALSE(tls.SessionInfo().has_value());
        try {
            client.Connect(5000);
        } catch (const EIdSSLProtocolReplyError&) {
        }
        EXPECT_EQ(tls.CertificateRefused(), c.Expected != X509_V_OK);
        const std::optional<TIdTLSSessionInfo> info = tls.SessionInfo();
        ASSERT_EQ(info.has_value(), c.Expected == X509_V_OK);
        if (!info) continue;
        EXPECT_EQ(info->Version, "TLS 1.3");
        EXPECT_EQ(info->Cipher, "TLS_AES_256_GCM_SHA384");
        EXPECT_EQ(info->Subject, "CN=localhost");
        EXPECT_EQ(info->Issuer, c.Certificate == SelfSigned ? "CN=localhost" : "CN=Quillora Test CA");
        EXPECT_EQ(info->Verified, c.Verify);
        // The peer's reply read, so that it never writes to a closed socket.
        client.WriteText("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(client.ReadAllUntilClose(), Reply);
        client.Disconnect();
        EXPECT_FALSE(tls.SessionInfo().has_value());
    }
}

TEST(SSLIOHandler, RealServerBelowTls12IsRefused) {
    TNginxServer server(TNginxTls{TestPki().Good.Cert, TestPki().Good.Key, "TLSv1", "DEFAULT:@SECLEVEL=0"});
    server.Root().WriteFile("a.txt", "never read");
    try {
        Exchange(TestTrust(), server.Port());
        FAIL() << "no failure";
    } catch (const EIdSSLProtocolReplyError& e) {
        EXPECT_EQ(e.Message().rfind("TLS handshake with 127.0.0.1 failed: ", 0), 0u) << e.Message();
        EXPECT_NE(e.Message().find("protocol"), std::string::npos) << e.Message();
    }
}

TEST(SSLIOHandler, AStalledHandshakeEndsWithTheReadTimeOut) {
    TScriptedPeer peer({TPeerStep::Stall()});
    TIdTCPClient client;
    TIdSSLIOHandlerSocket tls(TestTrust());
    tls.SetPassThrough(false);
    client.SetIOHandler(&tls);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    try {
        client.Connect(300);
        FAIL() << "no failure";
    } catch (const EIdReadTimeout& e) {
        EXPECT_EQ(e.Message(), "Read Timeout");
    }
    EXPECT_FALSE(tls.IsOpen());
    EXPECT_FALSE(tls.Encrypted());
}

// A peer that closes in the middle of the handshake is named as such, not
// by OpenSSL's words for a missing goodbye.
TEST(SSLIOHandler, AHandshakeCutByTheServerSaysSo) {
    TScriptedPeer peer({TPeerStep::ReadUntil("\x01"), TPeerStep::Close()});
    TIdTCPClient client;
    TIdSSLIOHandlerSocket tls(TestTrust());
    tls.SetPassThrough(false);
    client.SetIOHandler(&tls);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    try {
        client.Connect(5000);
        FAIL() << "no failure";
    } catch (const EIdSSLProtocolReplyError& e) {
        EXPECT_EQ(e.Message(), "TLS handshake with 127.0.0.1 failed: the server closed the connection");
    }
    EXPECT_FALSE(tls.IsOpen());
}

TEST(SSLIOHandler, TheCancelSignalEndsAHandshakeWait) {
    TScriptedPeer peer({TPeerStep::Stall()});
    TIdCancelSignal cancel;
    TIdTCPClient client;
    TIdSSLIOHandlerSocket tls(TestTrust());
    client.SetIOHandler(&tls);
    client.CancelSignal = &cancel;
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.Connect(0);
    cancel.Cancel();
    EXPECT_THROW(tls.SetPassThrough(false), EIdCancelled);
    EXPECT_FALSE(tls.IsOpen());
}

TEST(SSLIOHandler, PassThroughUntilToldToEncrypt) {
    // What a proxy's tunnel looks like: a line in clear, then TLS on the same socket.
    TTlsPeer origin(TestPki().Good, {Reply});
    TScriptedPeer relay({TPeerStep::Expect("CONNECT\r\n"), TPeerStep::Stall(2000)});
    TIdTCPClient client;
    TIdSSLIOHandlerSocket tls(TestTrust());
    client.SetIOHandler(&tls);
    client.Host = "127.0.0.1";
    client.Port = relay.Port();
    client.Connect(5000);
    client.WriteText("CONNECT\r\n");
    EXPECT_FALSE(tls.Encrypted());
    client.Disconnect();
    relay.Stop();
    EXPECT_EQ(relay.Received(), "CONNECT\r\n");
    // The same transport, now told to encrypt before the connect.
    tls.SetPassThrough(false);
    client.Port = origin.Port();
    client.Connect(5000);
    EXPECT_TRUE(tls.Encrypted());
    client.WriteText("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.ReadAllUntilClose(), Reply);
}
