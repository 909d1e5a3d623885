#include "http/BoundedFetch.h"

#include "core/Exceptions.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"

namespace {

std::string LimitText(int64_t limit) {
    if (limit % (int64_t{1} << 30) == 0) return std::to_string(limit >> 30) + " GiB";
    if (limit % (int64_t{1} << 20) == 0) return std::to_string(limit >> 20) + " MiB";
    return std::to_string(limit) + " bytes";
}

} // namespace

void FetchBounded(const std::string& url, TStream& stream, int64_t limit) {
    FetchBounded(url, stream, limit, FetchCancelSignal());
}

void FetchBounded(const std::string& url, TStream& stream, int64_t limit, const TIdCancelSignal* cancel) {
    TBoundedStream bounded(stream, limit, url);
    TIdHTTP client;
    ApplyClientSettings(client, url);
    client.CancelSignal = cancel;
    const TReplyLengthHook hook(client, bounded);
    client.FetchToStream(url, bounded);
}

TReplyLengthHook::TReplyLengthHook(TIdHTTP& client, const TBoundedStream& bounded, TAccept accept)
    : FClient(client) {
    client.OnReplyHeaders = [&client, &bounded, accept = std::move(accept)](TIdComponent*, const std::string&,
                                                                            const TIdHeaderList&) {
        TIdHTTPResponse& reply = client.Response();
        if (reply.StatusCode() / 100 != 2) return;
        if ((accept ? accept(reply) : reply.AnnouncedLength()) > bounded.Limit()) bounded.RaiseTooLarge();
    };
}

TReplyLengthHook::~TReplyLengthHook() {
    FClient.OnReplyHeaders = nullptr;
}

int64_t TBoundedStream::Write(const void* buffer, int64_t count) {
    if (count > 0 && FTarget.Position() > FLimit - count) RaiseTooLarge();
    return FTarget.Write(buffer, count);
}

void TBoundedStream::SetSize(int64_t newSize) {
    if (newSize > FLimit) RaiseTooLarge();
    FTarget.SetSize(newSize);
}

void TBoundedStream::RaiseTooLarge() const {
    throw EIdReplyTooLarge(
        Format("Download of %s refused: it is larger than %s", FUrl.c_str(), LimitText(FLimit).c_str()));
}

std::string FetchBoundedText(const std::string& url) {
    TStringStream stream;
    FetchBounded(url, stream, TextReplyLimit);
    return stream.DataString();
}

void FetchBoundedFile(const std::string& url, TStream& stream) {
    FetchBounded(url, stream, FileReplyLimit);
}
