#pragma once
// The exception root of the whole system and the run-time exception classes.
// Every failure is one of these, carrying the exact message the user sees.

#include <exception>
#include <string>

// A standard exception too, so that whatever reports a stray one (a test
// runner, the C++ run time) quotes its message instead of "unknown exception".
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }

    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    // The class name as the tools print it ("EIdSocketError: ...").
    virtual const char* ClassName() const { return "Exception"; }

  private:
    std::string FMessage;
};

#define QUILLORA_EXCEPTION(Name, Base)                                                                       \
    class Name : public Base {                                                                               \
      public:                                                                                                \
        using Base::Base;                                                                                    \
        const char* ClassName() const override { return #Name; }                                             \
    }

// The silent kind: the error box shows nothing for it.
QUILLORA_EXCEPTION(EAbort, Exception);
QUILLORA_EXCEPTION(EConvertError, Exception);
QUILLORA_EXCEPTION(EStreamError, Exception);
QUILLORA_EXCEPTION(EFCreateError, EStreamError);
QUILLORA_EXCEPTION(EFOpenError, EStreamError);
QUILLORA_EXCEPTION(EReadError, EStreamError);
QUILLORA_EXCEPTION(EWriteError, EStreamError);
QUILLORA_EXCEPTION(EOutOfMemory, Exception);
QUILLORA_EXCEPTION(EInvalidGraphic, Exception);
QUILLORA_EXCEPTION(EInvalidGraphicOperation, Exception);

class EInOutError : public Exception {
  public:
    EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
    const char* ClassName() const override { return "EInOutError"; }
    int ErrorCode;
};

// printf-style formatting of the fixed message texts ("Cannot create file \"%s\". %s").
std::string Format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
