#pragma once
// The transport's exceptions. EIdException is the root of every transport and
// HTTP failure; the HTTP client adds its own classes under it.

#include "core/Exceptions.h"

#include <string>

QUILLORA_EXCEPTION(EIdException, Exception);

// A close by the peer is an ordinary event, not an error worth a box of its own.
QUILLORA_EXCEPTION(EIdSilentException, EIdException);
QUILLORA_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);

// A socket error in the Winsock numbering ("Socket Error # %d\r\n%s").
class EIdSocketError : public EIdException {
  public:
    EIdSocketError(int errorNumber, std::string message)
        : EIdException(std::move(message)), ErrorNumber(errorNumber) {}
    const char* ClassName() const override { return "EIdSocketError"; }
    int ErrorNumber;
};

QUILLORA_EXCEPTION(EIdStackError, EIdException);
QUILLORA_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
QUILLORA_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
QUILLORA_EXCEPTION(EIdInvalidSocket, EIdException);

// Only a run-time bound Winsock raises it; kept so the tree is complete.
class EIdWS2StubError : public EIdException {
  public:
    EIdWS2StubError(std::string title, int win32Error, std::string win32Text)
        : EIdException(win32Error == 0 ? title : title + ": " + win32Text), Title(std::move(title)),
          Win32Error(win32Error), Win32ErrorText(std::move(win32Text)) {}
    const char* ClassName() const override { return "EIdWS2StubError"; }
    std::string Title;
    int Win32Error;
    std::string Win32ErrorText;
};

QUILLORA_EXCEPTION(EIdSocketHandleError, EIdException);
QUILLORA_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError);
QUILLORA_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
QUILLORA_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);

QUILLORA_EXCEPTION(EIdTCPConnectionError, EIdException);
QUILLORA_EXCEPTION(EIdNotConnected, EIdTCPConnectionError);
QUILLORA_EXCEPTION(EIdNotEnoughDataInBuffer, EIdTCPConnectionError);
QUILLORA_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError);
QUILLORA_EXCEPTION(EIdReadTimeout, EIdException);
QUILLORA_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
QUILLORA_EXCEPTION(EIdClosedSocket, EIdException);

QUILLORA_EXCEPTION(EIdAlreadyConnected, EIdException);
QUILLORA_EXCEPTION(EIdConnectTimeout, EIdException);
QUILLORA_EXCEPTION(EIdConnectException, EIdException);
// The connection's cancel signal fired while it waited.
QUILLORA_EXCEPTION(EIdCancelled, EIdException);

// The fixed message texts, for the places that raise them.
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSCancelled = "Operation cancelled";
inline constexpr const char* RSReadTimeout = "Read Timeout";
inline constexpr const char* RSMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSClosedSocket = "Disconnected.";
inline constexpr const char* RSAlreadyConnected = "Already connected.";
inline constexpr const char* RSConnectTimeout = "Connect timed out.";
inline constexpr const char* RSCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* RSStackInitializationFailed = "Winsock Initialization Error.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSCouldNotBindSocket =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSCannotBindRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSSocketErrorFormat = "Socket Error # %d\r\n%s";
