#pragma once
// The socket IO handler that speaks TLS. It passes bytes through unencrypted
// until told to encrypt: at the end of the connect, or at once on an open
// connection (a proxy's tunnel that has just been granted). The socket is
// non-blocking under TLS and every step that waits for the peer waits in one
// poll with the cancel signal, within the time-out the connect was given.

#include "net/IdIOHandlerSocket.h"
#include "net/IdSSLContext.h"

#include <optional>
#include <string>

struct ssl_st;

// What the handshake of a TLS session agreed on, for a tool that shows it.
struct TIdTLSSessionInfo {
    std::string Version; // "TLS 1.3"
    std::string Cipher;  // "TLS_AES_256_GCM_SHA384"
    // The peer certificate's names, "CN=host; O=org" (empty without one).
    std::string Subject, Issuer;
    // The chain and the name were checked and held (false when not checked).
    bool Verified = false;
};

class TIdSSLIOHandlerSocket : public TIdIOHandlerSocket {
  public:
    // Without a context: the system's trust store, verification on.
    explicit TIdSSLIOHandlerSocket(TIdSSLContextPtr context = nullptr);
    ~TIdSSLIOHandlerSocket() override;

    bool PassThrough() const { return FPassThrough; }
    // false on an open connection negotiates TLS at once; before a connect,
    // at its end. A failed negotiation closes the socket and raises
    // EIdSSLProtocolReplyError (EIdReadTimeout when the peer stalls).
    void SetPassThrough(bool value);
    // TLS is up on the open connection.
    bool Encrypted() const { return FSSL != nullptr; }
    // The name the certificate must carry and SNI sends (an IPv4 or IPv6
    // address is checked against the IP entries and not sent); empty: the
    // host connected to.
    std::string PeerHostName;
    const TIdSSLContext& Context() const { return *FContext; }
    // The peer of the last TLS session closed the connection without the TLS
    // goodbye (close_notify): read as a close, but whoever cut it may have
    // cut what was sent. Kept after the socket is closed, until the next session.
    bool ClosedWithoutGoodbye() const { return FClosedWithoutGoodbye; }
    // The last handshake failed because the peer's certificate was not
    // trusted or not made out to the name; kept until the next handshake.
    bool CertificateRefused() const { return FCertificateRefused; }
    // The session up on the connection; none while bytes pass unencrypted.
    std::optional<TIdTLSSessionInfo> SessionInfo() const;

    void CloseHandler() override;
    void ConnectTo(const std::string& host, int port, int timeout, int boundPortMax, int boundPortMin,
                   int boundPort, const std::string& boundIP) override;
    bool WaitReadable(int timeout) override;
    int ReceiveRaw(void* buffer, int length) override;
    int ReceiveIfReady(void* buffer, int length) override;
    int SendRaw(const void* buffer, int length) override;

  private:
    void StartTLS();
    void Negotiate(const std::string& name);
    // Waits for the socket to be ready for what OpenSSL wants; false when the
    // time-out (ms, negative: none) passes first, EIdCancelled when cancelled.
    bool WaitSocket(int sslError, int timeout);
    // After a failed read: what ReceiveRaw answers (0 close, -1 socket error)
    // or true when the caller should wait and try again.
    bool ReadFailed(int result, int& answer);
    [[noreturn]] void Fail(const std::string& reason);
    // Whether the failure OpenSSL just recorded is a close without the goodbye
    // (also when a wait met it first); clears it when it is.
    bool CloseWithoutGoodbye();

    TIdSSLContextPtr FContext;
    ssl_st* FSSL = nullptr;
    bool FPassThrough = true;
    // The connect's time-out, kept for every later wait (<= 0: none).
    int FTimeout = 0;
    std::string FConnectHost;
    // OpenSSL's reason for a failure met by a wait, for the read after it.
    std::string FReadFailure;
    bool FEofMet = false;
    bool FClosedWithoutGoodbye = false;
    bool FCertificateRefused = false;
};
