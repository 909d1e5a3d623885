// The window against the sample service's https accounts: the album list of
// "secure" is read over TLS when the service's CA is trusted and refused when
// it is not; "moved" answers its pictures with 301, which the window does not
// follow.

#include "E2ESupport.h"

#include "catalogue/AlbumList.h"

#include <openssl/x509_vfy.h>

namespace {

std::unique_ptr<TChildProcess> Service;
int ServicePort = 0;
const fs::path CAFile = fs::temp_directory_path() / ("quillora-e2e-ca-" + std::to_string(::getpid()) + ".pem");

class HttpsEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Service) ServicePort = StartSampleService(Service, 4, {"--tls-ca", CAFile.string()});
        ASSERT_NE(ServicePort, 0);
        const std::string proxy = "http://127.0.0.1:" + std::to_string(ServicePort);
        ::setenv("http_proxy", proxy.c_str(), 1);
        ::setenv("https_proxy", proxy.c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("NO_PROXY");
        SetClientReadTimeout(0);
    }
    void TearDown() override {
        SetClientTls(nullptr);
        ::unsetenv("https_proxy");
    }
    static void TearDownTestSuite() {
        Service.reset();
        fs::remove(CAFile);
    }
};

} // namespace

TEST_F(HttpsEndToEnd, SecureAccountIsLookedUpAndDownloadedWithTheServicesCa) {
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{CAFile.string(), true}));
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("secure");
    ASSERT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    ASSERT_EQ(AlbumTiles.size(), 2u);
    EXPECT_EQ(AlbumTiles[0].CheckBox->text(), "加密(3张)");
    s.Form->btn2->click();
    EXPECT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    EXPECT_EQ(ReadFile(s.Pic("加密/IMG_0001.jpg")), ReadFile(SourcePath("tools/sample-service/assets/photo-01.jpg")));
    EXPECT_EQ(ReadFile(s.Pic("加密二/IMG_0003.png")), ReadFile(SourcePath("tools/sample-service/assets/photo-01.png")));
}

TEST_F(HttpsEndToEnd, AnUntrustedCertificateEndsTheLookupInTheErrorBox) {
    // The system's store, which does not know the service's CA.
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{"", true}));
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("secure");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text.toStdString(),
              std::string("TLS handshake with photo.quillora.example failed: ") +
                  X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY) + ".");
    EXPECT_TRUE(AlbumTiles.empty());
}

TEST_F(HttpsEndToEnd, MovedAccountShowsTheRedirectAndSavesNothing) {
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{CAFile.string(), true}));
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("moved");
    ASSERT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    ASSERT_EQ(AlbumTiles.size(), 2u);
    s.Form->btn2->click();
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "HTTP/1.1 301 Moved Permanently.");
    EXPECT_FALSE(fs::exists(s.Pic("搬家/IMG_0001.jpg")));
}
