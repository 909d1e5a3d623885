#pragma once
// The program's own fetches hold a whole body in memory before they use it;
// a server that never ends its body (or names a huge length) must not be able
// to take all of it. Pages, scripts and lists are kept up to 64 MiB, files up
// to 1 GiB; past that the fetch fails with a message naming the address.

#include "core/Classes.h"
#include "net/IdException.h"

#include <cstdint>
#include <functional>
#include <string>

class TIdCancelSignal;
class TIdHTTP;
class TIdHTTPResponse;

QUILLORA_EXCEPTION(EIdReplyTooLarge, EIdException);

constexpr int64_t TextReplyLimit = int64_t{64} << 20;
constexpr int64_t FileReplyLimit = int64_t{1} << 30;

// Passes everything on to target, and fails with EIdReplyTooLarge before
// target would grow past limit bytes.
class TBoundedStream : public TStream {
  public:
    TBoundedStream(TStream& target, int64_t limit, std::string url)
        : FTarget(target), FLimit(limit), FUrl(std::move(url)) {
        FTarget.LimitCapacity(limit);
    }

    int64_t Read(void* buffer, int64_t count) override { return FTarget.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FTarget.Seek(offset, origin); }
    void SetSize(int64_t newSize) override;
    int64_t Size() override { return FTarget.Size(); }

    [[noreturn]] void RaiseTooLarge() const;
    int64_t Limit() const { return FLimit; }

  private:
    TStream& FTarget;
    int64_t FLimit;
    std::string FUrl;
};

// For one fetch into bounded on client: a 2xx reply whose length, named in
// advance, is past the limit fails before any of its body is read. The length
// is the one the reply announces, or what accept makes of the reply (which
// may also refuse it by raising). The hook refers to the fetch's locals, so it
// is taken off the client when the fetch is over, however it ends.
class TReplyLengthHook {
  public:
    using TAccept = std::function<int64_t(TIdHTTPResponse& reply)>;
    TReplyLengthHook(TIdHTTP& client, const TBoundedStream& bounded, TAccept accept = {});
    ~TReplyLengthHook();
    TReplyLengthHook(const TReplyLengthHook&) = delete;
    TReplyLengthHook& operator=(const TReplyLengthHook&) = delete;

  private:
    TIdHTTP& FClient;
};

// A fresh client with the program's settings fetches url into stream; a body
// that would make stream longer than limit fails the fetch.
void FetchBounded(const std::string& url, TStream& stream, int64_t limit);
// The same, stopped by cancel (instead of the process-wide fetch cancel signal).
void FetchBounded(const std::string& url, TStream& stream, int64_t limit, const TIdCancelSignal* cancel);
// The body of url as text, at most TextReplyLimit bytes.
std::string FetchBoundedText(const std::string& url);
// The same into stream, at most FileReplyLimit bytes.
void FetchBoundedFile(const std::string& url, TStream& stream);
