#pragma once
// The reply side of HTTP/1.1 as a parser that is fed bytes and does no I/O.
// Each Feed takes the bytes not consumed so far (the caller keeps the rest
// and hands it in again with what came after it) and answers how many it
// consumed and what it found: a head (status line and header block, interim
// replies included), a piece of the body (pointing into the fed bytes, so
// the caller writes it where it belongs without a copy of its own), the end
// of the reply, a refusal, or that it needs more. FeedEnd says the peer
// closed, which ends a body read to the close and fails any other. A head
// the header record cannot read (a Content-Range that is no range) raises
// its EConvertError out of Feed, as it does wherever the record is read.

#include "http/IdHTTPHeaderInfo.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "HTTP/1.x", a blank, a three-digit code from 100 to 599, then nothing or a
// blank and a reason.
bool IsStatusLine(const std::string& line);
// The code of a status line; -1 when it is no status line.
int32_t StatusCodeOf(const std::string& statusLine);

class THttpReplyParser {
  public:
    enum class TEvent { NeedMore, Head, Body, Done, Error };
    struct TStep {
        TEvent Event = TEvent::NeedMore;
        size_t Consumed = 0;
        const char* Body = nullptr; // with TEvent::Body: BodySize bytes inside the fed ones
        size_t BodySize = 0;
    };
    enum class TError { None, LineTooLong, Closed, Refused };

    // A server can send header lines for ever, each under the line limit, or
    // "100 Continue" after "100 Continue". A head or a chunked body's trailer
    // may hold this much (as curl allows), a reply this many interim replies.
    static constexpr int32_t MaxHeaderLines = 1000;
    static constexpr int64_t MaxHeaderBytes = 300 * 1024;
    static constexpr int MaxInterimReplies = 10;

    // A reply to HEAD has a head only. The head is read into a record of the
    // parser's own, or into the caller's.
    explicit THttpReplyParser(bool replyToHead = false) : FReplyToHead(replyToHead), FHead(&FOwnHead) {}
    THttpReplyParser(TIdResponseHeaderInfo& head, bool replyToHead)
        : FReplyToHead(replyToHead), FHead(&head) {}
    THttpReplyParser(const THttpReplyParser&) = delete;
    THttpReplyParser& operator=(const THttpReplyParser&) = delete;

    TStep Feed(const char* data, size_t size);
    // The peer closed with pending bytes still unconsumed.
    TStep FeedEnd(size_t pending);
    // The caller read the status line itself (a tunnel's answer, where an
    // empty line says yes); the header block comes next.
    void StatusLineRead(const std::string& line);
    // After the final head: refuses a framing that cannot be trusted, or says
    // whether a body follows (NeedMore) or the reply is over (Done). Feed
    // decides it by itself when it is not asked first. How the body is framed
    // is known (Framing) as soon as the final head is read.
    TStep DecideFraming();
    TBodyFraming Framing() const { return FHead->Framing; }

    // A caller that moves body bytes itself (straight from its own input
    // queue, with its own progress and time-outs) sets this: Feed then stops
    // at each piece of body, and the caller reads BodyLeft() bytes (-1: up
    // to the close) and says so with BodyMoved or FeedEnd.
    bool CallerMovesBody = false;
    bool InBody() const;
    // The reply is over, read whole or refused.
    bool Ended() const { return FState == TState::Finished || FState == TState::Failed; }
    int64_t BodyLeft() const;
    void BodyMoved(int64_t count);

    // The last head read: after TEvent::Head, and for the final reply until it ends.
    const std::string& StatusLine() const { return FStatusLine; }
    TIdResponseHeaderInfo& Head() { return *FHead; }
    int32_t StatusCode() const { return StatusCodeOf(FStatusLine); }
    // An interim reply (1xx but a protocol switch): another head follows.
    bool Interim() const;
    // Framed in a way that leaves the connection unfit for the next reply.
    bool CloseAfterReply() const { return FCloseAfterReply; }

    TError Error() const { return FError; }
    // The refusal's message, as the client's exception carries it.
    const std::string& ErrorMessage() const { return FErrorMessage; }

    // Lines longer than this (without their line feed) are refused, or cut
    // into pieces of this length when SplitLongLines; 0 is no limit.
    int32_t MaxLineLength = 16384;
    bool SplitLongLines = false;

  private:
    // StatusLine: waiting for a reply's first line. HeaderLines: the header
    // block up to its empty line. Framing: the final head is read, the body's
    // framing is decided. Length: a counted body. UntilClose: a body read to
    // the close. ChunkSize, ChunkData, ChunkEnd: a chunk's size line, its
    // bytes and the line end after them. Trailer: the lines after the last
    // chunk. Finished and Failed are where a reply ends.
    enum class TState {
        StatusLine,
        HeaderLines,
        Framing,
        Length,
        UntilClose,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
        Finished,
        Failed
    };

    // A whole line at the front of data: its length and the bytes it takes; false when incomplete.
    // Piece: the first MaxLineLength bytes of a longer line (SplitLongLines).
    enum class TLine { Whole, Piece, Incomplete, TooLong };
    TLine TakeLine(const char* data, size_t size, std::string& line, size_t& taken) const;
    TStep OnLine(const std::string& line, size_t taken);
    bool TooManyInterimReplies() const {
        return FState == TState::StatusLine && FInterim > MaxInterimReplies;
    }
    TStep RefuseInterimReplies();
    TStep OnStatusLine(const std::string& line, size_t taken);
    TStep OnHeaderLine(const std::string& line, size_t taken);
    // Refuses a field line with a bare CR or a NUL, or without a colon
    // (unless it is folded and continues a line before it).
    TStep CheckFieldLine(const std::string& line, const char* what, bool continues, size_t taken);
    TStep EndHead(size_t taken);
    TStep OnChunkSize(const std::string& line, size_t taken);
    TStep OnTrailerLine(const std::string& line, size_t taken);
    TStep TakeBody(const char* data, size_t size);
    bool CountLine(const std::string& line, const char* block);
    bool HasBody() const;
    void DecideBodyFraming();
    std::string FramingRefusal(const std::vector<std::string>& codings) const;
    TStep Fail(TError error, const std::string& message, size_t taken);
    TStep Refuse(const std::string& why, size_t taken) {
        return Fail(TError::Refused, "Reply refused: " + why, taken);
    }
    TStep Finish(size_t taken);
    TStep FeedLine(const char* data, size_t size);

    bool FReplyToHead;
    TState FState = TState::StatusLine;
    std::string FStatusLine;
    TIdResponseHeaderInfo FOwnHead;
    TIdResponseHeaderInfo* FHead;
    int32_t FLines = 0;
    int64_t FBytes = 0;
    int FInterim = 0;
    int64_t FRemaining = 0;
    bool FCloseAfterReply = false;
    std::string
        FFramingRefusal;      // the refusal of a head whose framing (TBodyFraming::Refused) cannot be trusted
    bool FStalled = false;    // the bytes left hold no whole line
    bool FAfterPiece = false; // the last line read was a piece of a longer one
    TError FError = TError::None;
    std::string FErrorMessage;
};
