#pragma once
// The TLS client settings of a process, made once into an OpenSSL context
// that is only read afterwards (the system's store is read into it once, at
// the first handshake), so that the engine's workers may share it.

#include "net/IdException.h"

#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;

// A TLS handshake, a certificate check or a TLS record failed; the message
// carries OpenSSL's reason in words.
QUILLORA_EXCEPTION(EIdSSLProtocolReplyError, EIdException);
// A body that ends with the connection ended with a bare TCP close instead
// of the TLS goodbye: it may have been cut by anyone on the way.
QUILLORA_EXCEPTION(EIdTLSTruncated, EIdTCPConnectionError);

struct TIdSSLSettings {
    // A CA bundle trusted instead of the system's store; empty: the system's
    // store, where SSL_CERT_FILE and SSL_CERT_DIR are honoured as OpenSSL does.
    std::string CAFile;
    // Off only when the user turned verification off by name.
    bool VerifyPeer = true;
};

class TIdSSLContext {
  public:
    // EIdSSLProtocolReplyError when the CA bundle cannot be read.
    explicit TIdSSLContext(const TIdSSLSettings& settings = {});
    ~TIdSSLContext();
    TIdSSLContext(const TIdSSLContext&) = delete;
    TIdSSLContext& operator=(const TIdSSLContext&) = delete;

    // The system's store is read on the first use, not when the program
    // starts: a run that never meets https never pays for it.
    ssl_ctx_st* Handle() const;
    const TIdSSLSettings& Settings() const { return FSettings; }

  private:
    TIdSSLSettings FSettings;
    ssl_ctx_st* FContext = nullptr;
    mutable std::once_flag FSystemStoreRead;
};

using TIdSSLContextPtr = std::shared_ptr<const TIdSSLContext>;

// OpenSSL's reason for the last failure of this thread, in words; fallback
// when it recorded none. Clears the thread's error queue.
std::string SSLErrorReason(const std::string& fallback);
