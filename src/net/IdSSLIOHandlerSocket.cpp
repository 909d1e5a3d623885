#include "net/IdSSLIOHandlerSocket.h"

#include "core/Exceptions.h"
#include "net/IdCancelSignal.h"
#include "net/IdStackPosix.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

int FdOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

// OpenSSL's own socket BIO writes with write(), and a peer that has gone
// would end the whole program with SIGPIPE; this one sends with MSG_NOSIGNAL.
int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::send(FdOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
        return -1;
    }
}

int BioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(FdOf(bio), data, static_cast<size_t>(length), 0);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) {
            // Asked through BIO_CTRL_EOF: tells a close from "nothing yet".
            BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
        return -1;
    }
}

long BioCtrl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    if (command == BIO_CTRL_FLUSH) return 1;
    if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    return 0;
}

// Made once, read by every thread afterwards.
const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillora socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        return m;
    }();
    return method;
}

int Remaining(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point DeadlineAfter(int timeout) {
    return timeout < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
}

// OpenSSL reads a bare IPv6 address without its zone; a zone only names this
// machine's interface and is never in a certificate.
std::string AddressForCertificate(const std::string& name) {
    std::string bare = name.size() >= 2 && name.front() == '[' && name.back() == ']'
                           ? name.substr(1, name.size() - 2)
                           : name;
    return bare.substr(0, bare.find('%'));
}

// A certificate's name on one line, most general part first, as curl shows
// it: "C=DE; O=Example; CN=host". Characters beyond ASCII stay UTF-8.
std::string NameText(const X509_NAME* name) {
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) return std::string();
    const unsigned long flags =
        (XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~XN_FLAG_SEP_MASK & ~ASN1_STRFLGS_ESC_MSB) |
        XN_FLAG_SEP_SPLUS_SPC;
    X509_NAME_print_ex(out, name, 0, flags);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data != nullptr && length > 0 ? data : "", length > 0 ? static_cast<size_t>(length) : 0);
    BIO_free(out);
    return text;
}

void SetLastSocketError(int errnoValue) {
    const int number = WSErrorFromErrno(errnoValue);
    TIdStackPosix::SetLastError(number);
    TIdStack::SetLastError(number);
}

} // namespace

TIdSSLIOHandlerSocket::TIdSSLIOHandlerSocket(TIdSSLContextPtr context)
    : FContext(context ? std::move(context) : std::make_shared<const TIdSSLContext>()) {}

TIdSSLIOHandlerSocket::~TIdSSLIOHandlerSocket() {
    CloseHandler();
}

void TIdSSLIOHandlerSocket::SetPassThrough(bool value) {
    FPassThrough = value;
    if (!value && FSSL == nullptr && IsOpen()) StartTLS();
}

void TIdSSLIOHandlerSocket::CloseHandler() {
    if (FSSL != nullptr) {
        // The TLS goodbye, sent without waiting for the peer's.
        if (IsOpen() && SSL_is_init_finished(FSSL)) SSL_shutdown(FSSL);
        SSL_free(FSSL);
        FSSL = nullptr;
        FReadFailure.clear();
        FEofMet = false;
        ERR_clear_error();
    }
    TIdIOHandlerSocket::CloseHandler();
}

void TIdSSLIOHandlerSocket::ConnectTo(const std::string& host, int port, int timeout, int boundPortMax,
                                      int boundPortMin, int boundPort, const std::string& boundIP) {
    if (FSSL != nullptr) CloseHandler();
    FClosedWithoutGoodbye = false;
    FTimeout = timeout > 0 ? timeout : -1;
    FConnectHost = host;
    TIdIOHandlerSocket::ConnectTo(host, port, timeout, boundPortMax, boundPortMin, boundPort, boundIP);
    if (!FPassThrough) StartTLS();
}

void TIdSSLIOHandlerSocket::StartTLS() {
    const std::string name = PeerHostName.empty() ? FConnectHost : PeerHostName;
    FClosedWithoutGoodbye = false;
    FCertificateRefused = false;
    FEofMet = false;
    try {
        const int fd = Binding()->Handle();
        const int flags = ::fcntl(fd, F_GETFL, 0);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        ERR_clear_error();
        FSSL = SSL_new(FContext->Handle());
        if (FSSL == nullptr) Fail(SSLErrorReason("out of memory"));
        BIO* bio = BIO_new(SocketMethod());
        if (bio == nullptr) Fail(SSLErrorReason("out of memory"));
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        BIO_set_init(bio, 1);
        SSL_set_bio(FSSL, bio, bio);
        Negotiate(name);
    } catch (...) {
        // Nothing of a connection whose negotiation failed is fit to be used.
        CloseHandler();
        throw;
    }
}

void TIdSSLIOHandlerSocket::Negotiate(const std::string& name) {
    if (TIdStack::IsAddressLiteral(name)) {
        // An address is checked against the certificate's IP entries and never sent as SNI.
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSSL), AddressForCertificate(name).c_str()) != 1)
            Fail("the address cannot be checked against the certificate");
    } else if (SSL_set_tlsext_host_name(FSSL, name.c_str()) != 1 || SSL_set1_host(FSSL, name.c_str()) != 1) {
        Fail("the host name cannot be used for TLS");
    }
    static const unsigned char alpn[] = "\x08http/1.1";
    SSL_set_alpn_protos(FSSL, alpn, sizeof alpn - 1);
    const Clock::time_point deadline = DeadlineAfter(FTimeout);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_connect(FSSL);
        if (result == 1) return;
        const int error = SSL_get_error(FSSL, result);
        const int savedErrno = errno;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!WaitSocket(error, Remaining(deadline))) throw EIdReadTimeout(RSReadTimeout);
            continue;
        }
        const long verify = SSL_get_verify_result(FSSL);
        if (verify != X509_V_OK && FContext->Settings().VerifyPeer) {
            FCertificateRefused = true;
            Fail(X509_verify_cert_error_string(verify));
        }
        if (error == SSL_ERROR_SYSCALL && savedErrno != 0)
            Fail(WSErrorDescription(WSErrorFromErrno(savedErrno)));
        if (error == SSL_ERROR_SSL && CloseWithoutGoodbye()) Fail("the server closed the connection");
        Fail(SSLErrorReason("the server closed the connection"));
    }
}

std::optional<TIdTLSSessionInfo> TIdSSLIOHandlerSocket::SessionInfo() const {
    if (FSSL == nullptr || !SSL_is_init_finished(FSSL)) return std::nullopt;
    TIdTLSSessionInfo info;
    // OpenSSL says "TLSv1.3"; curl and people say "TLS 1.3".
    info.Version = SSL_get_version(FSSL);
    if (info.Version.rfind("TLSv", 0) == 0) info.Version = "TLS " + info.Version.substr(4);
    const char* cipher = SSL_get_cipher_name(FSSL);
    info.Cipher = cipher != nullptr ? cipher : "";
    if (X509* peer = SSL_get0_peer_certificate(FSSL)) {
        info.Subject = NameText(X509_get_subject_name(peer));
        info.Issuer = NameText(X509_get_issuer_name(peer));
    }
    info.Verified = FContext->Settings().VerifyPeer && SSL_get_verify_result(FSSL) == X509_V_OK;
    return info;
}

void TIdSSLIOHandlerSocket::Fail(const std::string& reason) {
    const std::string name = PeerHostName.empty() ? FConnectHost : PeerHostName;
    ERR_clear_error();
    throw EIdSSLProtocolReplyError(Format("TLS handshake with %s failed: %s", name.c_str(), reason.c_str()));
}

bool TIdSSLIOHandlerSocket::WaitSocket(int sslError, int timeout) {
    const int cancelFd = CancelSignal ? CancelSignal->Fd() : -1;
    const short events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    const Clock::time_point deadline = DeadlineAfter(timeout);
    for (;;) {
        pollfd fds[2] = {{Binding()->Handle(), events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, Remaining(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (cancelFd >= 0 && n > 0 && (fds[1].revents & POLLIN)) throw EIdCancelled(RSCancelled);
        // A failed poll is no reason to wait: the next TLS call meets the error itself.
        return n != 0;
    }
}

bool TIdSSLIOHandlerSocket::WaitReadable(int timeout) {
    if (FSSL == nullptr) return TIdIOHandlerSocket::WaitReadable(timeout);
    if (SSL_pending(FSSL) > 0) return true;
    const Clock::time_point deadline = DeadlineAfter(timeout < 0 ? -1 : timeout);
    for (;;) {
        // A peek decrypts the next record (or meets the close) without
        // taking it, so the read that follows never waits.
        ERR_clear_error();
        unsigned char byte = 0;
        const int result = SSL_peek(FSSL, &byte, 1);
        if (result > 0) return true;
        const int error = SSL_get_error(FSSL, result);
        // The read that follows reports the close or the failure; OpenSSL's
        // reason is kept for it, as the next call would not say it again.
        if (error == SSL_ERROR_SSL && !CloseWithoutGoodbye()) FReadFailure = SSLErrorReason("bad record");
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return true;
        if (!WaitSocket(error, Remaining(deadline))) return false;
    }
}

bool TIdSSLIOHandlerSocket::ReadFailed(int result, int& answer) {
    const int savedErrno = errno;
    const int error = SSL_get_error(FSSL, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (WaitSocket(error, FTimeout)) return true;
        SetLastSocketError(ETIMEDOUT);
        answer = Id_SOCKET_ERROR;
        return false;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
        answer = 0;
        return false;
    }
    if ((error == SSL_ERROR_SYSCALL && savedErrno == 0) ||
        (error == SSL_ERROR_SSL && CloseWithoutGoodbye())) {
        FClosedWithoutGoodbye = true;
        answer = 0;
        return false;
    }
    if (error == SSL_ERROR_SYSCALL) {
        SetLastSocketError(savedErrno);
        answer = Id_SOCKET_ERROR;
        return false;
    }
    const std::string name = PeerHostName.empty() ? FConnectHost : PeerHostName;
    const std::string reason = FReadFailure.empty() ? SSLErrorReason("bad record") : FReadFailure;
    FReadFailure.clear();
    throw EIdSSLProtocolReplyError(Format("TLS connection with %s failed: %s", name.c_str(), reason.c_str()));
}

bool TIdSSLIOHandlerSocket::CloseWithoutGoodbye() {
    const unsigned long code = ERR_peek_last_error();
    if (code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        FEofMet = true;
    }
    return FEofMet;
}

// Only what OpenSSL has already decrypted counts as arrived: a record half
// in the socket cannot be told from here without a read that may wait.
int TIdSSLIOHandlerSocket::ReceiveIfReady(void* buffer, int length) {
    if (FSSL == nullptr) return TIdIOHandlerSocket::ReceiveIfReady(buffer, length);
    if (SSL_pending(FSSL) > 0) return ReceiveRaw(buffer, length);
    return IdNothingReady;
}

int TIdSSLIOHandlerSocket::ReceiveRaw(void* buffer, int length) {
    if (FSSL == nullptr) return TIdIOHandlerSocket::ReceiveRaw(buffer, length);
    if (!IsOpen()) throw EIdClosedSocket(RSClosedSocket);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_read(FSSL, buffer, length);
        if (result > 0) return result;
        int answer = 0;
        if (!ReadFailed(result, answer)) return answer;
    }
}

int TIdSSLIOHandlerSocket::SendRaw(const void* buffer, int length) {
    if (FSSL == nullptr) return TIdIOHandlerSocket::SendRaw(buffer, length);
    if (!IsOpen()) throw EIdClosedSocket(RSClosedSocket);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_write(FSSL, buffer, length);
        if (result > 0) return result;
        int answer = 0;
        if (!ReadFailed(result, answer)) {
            // A peer gone before it took the request is a reset, not a close.
            if (answer == 0) SetLastSocketError(ECONNRESET);
            return Id_SOCKET_ERROR;
        }
    }
}
