#include "support/TestPki.h"

#include "support/RealServers.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

constexpr long Day = 24 * 60 * 60;
const char* const ServerNames =
    "DNS:localhost,IP:127.0.0.1,IP:::1,DNS:photo.quillora.example,DNS:*.photo.quillora.example";

struct TIssuer {
    X509* Cert;
    EVP_PKEY* Key;
};

EVP_PKEY* NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr) throw std::runtime_error("cannot make a test key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) throw std::runtime_error("cannot make a test certificate extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key named commonName, valid from..to seconds from now,
// signed by issuer (itself when the issuer's certificate is nullptr).
X509* NewCert(EVP_PKEY* key, const char* commonName, long from, long to, TIssuer issuer, bool ca,
              const char* names) {
    static long serial = 1;
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), from);
    X509_gmtime_adj(X509_getm_notAfter(cert), to);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509* signer = issuer.Cert != nullptr ? issuer.Cert : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    AddExtension(cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    if (names != nullptr) AddExtension(cert, signer, NID_subject_alt_name, names);
    X509_sign(cert, issuer.Key != nullptr ? issuer.Key : key, EVP_sha256());
    return cert;
}

void WritePem(const std::string& file, X509* cert, EVP_PKEY* key) {
    FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) throw std::runtime_error("cannot write " + file);
    if (cert != nullptr) PEM_write_X509(out, cert);
    if (key != nullptr) PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
}

TTestCertificate Issue(const std::string& folder, const std::string& name, TIssuer issuer, long from, long to,
                       const char* names) {
    EVP_PKEY* key = NewKey();
    X509* cert = NewCert(key, names == ServerNames ? "localhost" : "other.example", from, to, issuer, false, names);
    TTestCertificate result{folder + "/" + name + ".crt", folder + "/" + name + ".key"};
    WritePem(result.Cert, cert, nullptr);
    WritePem(result.Key, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return result;
}

TTestPki Make(const std::string& folder) {
    TTestPki pki;
    EVP_PKEY* caKey = NewKey();
    X509* ca = NewCert(caKey, "Quillora Test CA", -Day, 30 * Day, {nullptr, nullptr}, true, nullptr);
    pki.CAFile = folder + "/ca.crt";
    WritePem(pki.CAFile, ca, nullptr);
    EVP_PKEY* otherKey = NewKey();
    X509* other = NewCert(otherKey, "Untrusted Test CA", -Day, 30 * Day, {nullptr, nullptr}, true, nullptr);

    pki.Good = Issue(folder, "good", {ca, caKey}, -Day, 30 * Day, ServerNames);
    pki.Expired = Issue(folder, "expired", {ca, caKey}, -30 * Day, -Day, ServerNames);
    pki.WrongHost = Issue(folder, "wronghost", {ca, caKey}, -Day, 30 * Day, "DNS:other.example,IP:10.9.8.7");
    pki.SelfSigned = Issue(folder, "selfsigned", {nullptr, nullptr}, -Day, 30 * Day, ServerNames);
    pki.Untrusted = Issue(folder, "untrusted", {other, otherKey}, -Day, 30 * Day, ServerNames);
    X509_free(other);
    EVP_PKEY_free(otherKey);
    X509_free(ca);
    EVP_PKEY_free(caKey);
    return pki;
}

} // namespace

const TTestPki& TestPki() {
    static TTempFolder folder;
    static const TTestPki pki = Make(folder.Path());
    return pki;
}
