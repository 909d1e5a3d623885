#pragma once
// Certificates for TLS tests, made with OpenSSL in a private folder: a test
// CA and server certificates signed by it (good, expired, for another host),
// a self-signed one and one from a CA nobody trusts. Each server certificate
// names localhost, 127.0.0.1, ::1, photo.quillora.example and
// *.photo.quillora.example, except the one for another host.

#include <string>

struct TTestCertificate {
    std::string Cert; // PEM file
    std::string Key;  // PEM file
};

struct TTestPki {
    std::string CAFile; // the trusted test CA
    TTestCertificate Good;
    TTestCertificate Expired;
    TTestCertificate WrongHost;
    TTestCertificate SelfSigned;
    TTestCertificate Untrusted;
};

// Made on first use in a temporary folder removed when the program ends.
const TTestPki& TestPki();
