#include "net/IdSSLContext.h"

#include "core/Exceptions.h"

#include <cerrno>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

std::string SSLErrorReason(const std::string& fallback) {
    // The last entry is the most specific one ("certificate verify failed"
    // comes after the record layer's own).
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    std::string text = reason != nullptr ? reason : fallback;
    ERR_clear_error();
    return text;
}

namespace {

// Why a file of certificates could not be read: the system's words when
// opening it failed ("No such file or directory", where OpenSSL's own last
// entry says only "system lib"), else OpenSSL's reason. Clears the queue.
std::string FileFailureReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        ERR_clear_error();
        return std::strerror(EISDIR);
    }
    std::string reason = "no certificate in it";
    while (const unsigned long code = ERR_get_error()) {
        if (ERR_SYSTEM_ERROR(code)) {
            ERR_clear_error();
            return std::strerror(static_cast<int>(ERR_GET_REASON(code)));
        }
        if (const char* text = ERR_reason_error_string(code)) reason = text;
    }
    return reason;
}

} // namespace

TIdSSLContext::TIdSSLContext(const TIdSSLSettings& settings) : FSettings(settings) {
    ERR_clear_error();
    FContext = SSL_CTX_new(TLS_client_method());
    if (FContext == nullptr)
        throw EIdSSLProtocolReplyError("Cannot set up TLS: " + SSLErrorReason("out of memory"));
    // Below 1.2 every version has known breaks; curl and browsers refuse them too.
    SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
    // A close without the TLS goodbye is told apart from one with it (the
    // transport reads it as a close and remembers it): a body that ends with
    // the connection is whole only when the peer said goodbye.
    SSL_CTX_set_options(FContext, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(FContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(FContext, settings.VerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    if (settings.CAFile.empty()) return; // the system's store: read by Handle()
    if (SSL_CTX_load_verify_locations(FContext, settings.CAFile.c_str(), nullptr) != 1) {
        const std::string reason = FileFailureReason(settings.CAFile);
        SSL_CTX_free(FContext);
        throw EIdSSLProtocolReplyError(
            Format("Cannot read the CA certificates in %s: %s", settings.CAFile.c_str(), reason.c_str()));
    }
    ERR_clear_error();
}

ssl_ctx_st* TIdSSLContext::Handle() const {
    if (FSettings.CAFile.empty())
        std::call_once(FSystemStoreRead, [this] {
            SSL_CTX_set_default_verify_paths(FContext);
            ERR_clear_error(); // a store that is not there fails the handshake's check, not this
        });
    return FContext;
}

TIdSSLContext::~TIdSSLContext() {
    SSL_CTX_free(FContext);
}
