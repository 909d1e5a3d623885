// Reading a reply off the connection: the reply parser is fed from the
// connection's input queue, and body bytes go from that queue straight into
// the caller's stream (with the connection's progress events, pieces and
// time-outs), the parser told how many went.

#include "http/IdHTTP.h"

#include "core/ScopeGuard.h"
#include "core/TextUtils.h"
#include "net/IdSSLIOHandlerSocket.h"

void TIdHTTPProtocol::BeginReply() {
    FParser = std::make_unique<THttpReplyParser>(*Response, Request->RequestMethod == hmHead);
    FParser->MaxLineLength = HTTP.MaxLineLength;
    FParser->SplitLongLines = HTTP.MaxLineAction == maSplit;
    FParser->CallerMovesBody = true;
}

void TIdHTTPProtocol::ReadHead() {
    const THttpReplyParser::TStep step = Advance();
    Response->StatusLine = FParser->StatusLine();
    if (step.Event == THttpReplyParser::TEvent::Error) RaiseParserError();
    Response->CloseAfterReply = false;
}

void TIdHTTPProtocol::ReadResponseHeaders() {
    BeginReply();
    FParser->StatusLineRead(Response->StatusLine);
    ReadHead();
}

THttpReplyParser::TStep TIdHTTPProtocol::Advance() {
    TIdManagedBuffer& queue = HTTP.InputQueue();
    for (;;) {
        const THttpReplyParser::TStep step =
            FParser->Feed(reinterpret_cast<const char*>(queue.Memory()), static_cast<size_t>(queue.Size()));
        queue.DropFront(static_cast<int32_t>(step.Consumed));
        if (step.Event != THttpReplyParser::TEvent::NeedMore || FParser->InBody()) return step;
        bool raised = false;
        if (!FillQueue(raised)) return EndOfInput(raised);
    }
}

bool TIdHTTPProtocol::FillQueue(bool& raised) {
    // As a line read waits: a close already seen, or seen now with nothing
    // queued, raises; a close behind an unfinished line leaves it queued.
    try {
        HTTP.CheckDisconnected(true, true);
        return HTTP.FillInputQueue(true, -1, true) != 0;
    } catch (const EIdConnClosedGracefully&) {
        raised = true;
        return false;
    }
}

THttpReplyParser::TStep TIdHTTPProtocol::EndOfInput(bool raised) {
    // An unfinished line before the close is read as an empty one; after a
    // close that raised, nothing queued counts.
    return FParser->FeedEnd(raised ? 0 : HTTP.InputQueue().Size());
}

void TIdHTTPProtocol::RaiseParserError() {
    switch (FParser->Error()) {
    case THttpReplyParser::TError::LineTooLong:
        throw EIdReadLnMaxLineLengthExceeded(FParser->ErrorMessage());
    case THttpReplyParser::TError::Closed:
        throw EIdConnClosedGracefully(FParser->ErrorMessage());
    default:
        RaiseMalformedReply(FParser->ErrorMessage());
    }
}

void TIdHTTPProtocol::RaiseMalformedReply(const std::string& message) {
    // The rest of the reply is still unread: the connection can carry nothing more.
    HTTP.Disconnect();
    throw EIdHTTPProtocolException(Response->StatusCode(), message, "");
}

void TIdHTTPProtocol::CheckFraming() {
    if (FParser->DecideFraming().Event == THttpReplyParser::TEvent::Error) RaiseParserError();
    Response->CloseAfterReply = FParser->CloseAfterReply();
}

void TIdHTTPProtocol::ReadBody() {
    TStream* stream = Response->BodyStream;
    if (stream == nullptr || FParser->Ended()) return;
    if (Response->Framing == TBodyFraming::Chunked) HTTP.ReportStatus(hsStatusText, "Chunk Started");
    for (;;) {
        const THttpReplyParser::TStep step = Advance();
        if (step.Event == THttpReplyParser::TEvent::Done) return;
        if (step.Event == THttpReplyParser::TEvent::Error) RaiseParserError();
        ReadBodyPiece(*stream);
    }
}

void TIdHTTPProtocol::ReadBodyPiece(TStream& stream) {
    const int64_t left = FParser->BodyLeft();
    if (left < 0) {
        HTTP.ReadIntoStream(stream, -1, true);
        // Over TLS only the peer's goodbye proves the close was the end: a
        // bare TCP close can be forged or cut by anyone on the way.
        const TIdSSLIOHandlerSocket* tls = HTTP.TlsTransport();
        if (tls && tls->ClosedWithoutGoodbye())
            throw EIdTLSTruncated("Connection closed without the TLS goodbye; the body may be cut");
        FParser->FeedEnd(0);
        return;
    }
    // A close before the last byte raises: a short body is never a whole one.
    HTTP.ReadIntoStream(stream, left, false);
    FParser->BodyMoved(left);
}

namespace {

QUILLORA_EXCEPTION(ERefusedBodyCut, Exception);

// Keeps the first bytes written to it and refuses the rest, so that a body
// nobody wants in full cannot take memory or time.
class TKeepFirstStream : public TStream {
  public:
    explicit TKeepFirstStream(int64_t limit) : FLimit(limit) {}
    int64_t Read(void* buffer, int64_t count) override { return FKept.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t room = std::max<int64_t>(0, FLimit - FKept.Position());
        FKept.Write(buffer, std::min(count, room));
        if (count > room) throw ERefusedBodyCut("");
        return count;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FKept.Seek(offset, origin); }
    void SetSize(int64_t newSize) override { FKept.SetSize(std::min(newSize, FLimit)); }
    int64_t Size() override { return FKept.Size(); }
    std::string Kept() const { return FKept.DataString(); }

  private:
    int64_t FLimit;
    TStringStream FKept;
};

} // namespace

std::string TIdHTTPProtocol::ReadRefusedBody(int32_t timeout) {
    TKeepFirstStream scratch(RefusedBodyLimit);
    TRestore<int32_t> hold(HTTP.ReadTimeout, timeout);
    TRestore<TStream*> body(Response->BodyStream, &scratch);
    try {
        ReadBody();
    } catch (const Exception&) {
        // What is left of the body must not be taken for the next reply.
        HTTP.Disconnect();
    }
    return scratch.Kept();
}
