#include "http/HttpReplyParser.h"

#include "core/TextUtils.h"
#include "http/IdURI.h"
#include "net/IdException.h"

#include <algorithm>
#include <cstring>

int32_t StatusCodeOf(const std::string& statusLine) {
    std::string rest = statusLine;
    SplitAt(rest, " ");
    rest = TextTrim(rest);
    int code = -1;
    if (!TryDecimal(SplitAt(rest, " "), code)) code = -1;
    return code;
}

bool IsChunkedCoding(const TIdHeaderList& headerLines) {
    std::string codings = headerLines.ValueOf("Transfer-Encoding");
    const size_t comma = codings.rfind(',');
    if (comma != std::string::npos) codings.erase(0, comma + 1);
    return SameText(TextTrim(codings), "chunked");
}

namespace {

THttpReplyParser::TStep Step(THttpReplyParser::TEvent event, size_t consumed) {
    THttpReplyParser::TStep step;
    step.Event = event;
    step.Consumed = consumed;
    return step;
}

// Only a real "0" ends a chunked body: a size that cannot be read is a broken
// reply, never its end, and a size past 63 bits never wraps to a small one.
bool ReadHexSize(const std::string& digits, int64_t& size) {
    size = 0;
    if (digits.empty()) return false;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0 || size > (INT64_MAX >> 4)) return false;
        size = size * 16 + d;
    }
    return true;
}

} // namespace

bool THttpReplyParser::Interim() const {
    const int32_t code = StatusCode();
    return code / 100 == 1 && code != 101;
}

THttpReplyParser::TStep THttpReplyParser::Feed(const char* data, size_t size) {
    size_t used = 0;
    for (;;) {
        TStep step;
        FStalled = false;
        switch (FState) {
        case TState::Finished:
            return Step(TEvent::Done, used);
        case TState::Failed:
            return Step(TEvent::Error, used);
        case TState::Framing:
            step = DecideFraming();
            break;
        case TState::Length:
        case TState::UntilClose:
        case TState::ChunkData:
            if (used == size || CallerMovesBody) return Step(TEvent::NeedMore, used);
            step = TakeBody(data + used, size - used);
            break;
        default:
            step = FeedLine(data + used, size - used);
            break;
        }
        used += step.Consumed;
        step.Consumed = used;
        // A line that was only framing (a header, a chunk's size) goes on to the next.
        if (step.Event != TEvent::NeedMore || FStalled) return step;
    }
}

THttpReplyParser::TStep THttpReplyParser::FeedLine(const char* data, size_t size) {
    // Counted before the next status line is read, so that an endless run of
    // interim replies ends also when the next one never completes.
    if (TooManyInterimReplies()) return RefuseInterimReplies();
    std::string line;
    size_t taken = 0;
    switch (TakeLine(data, size, line, taken)) {
    case TLine::Incomplete:
        FStalled = true;
        return Step(TEvent::NeedMore, 0);
    case TLine::TooLong:
        return Fail(TError::LineTooLong, RSMaxLineLengthExceeded, 0);
    case TLine::Whole:
        break;
    }
    return OnLine(line, taken);
}

THttpReplyParser::TLine THttpReplyParser::TakeLine(const char* data, size_t size, std::string& line,
                                                   size_t& taken) const {
    const auto* feed = size > 0 ? static_cast<const char*>(std::memchr(data, '\n', size)) : nullptr;
    const size_t limit = MaxLineLength > 0 ? static_cast<size_t>(MaxLineLength) : SIZE_MAX;
    const size_t length = feed ? static_cast<size_t>(feed - data) : size;
    if (length > limit) {
        if (!SplitLongLines) return TLine::TooLong;
        line.assign(data, limit);
        taken = limit;
        return TLine::Whole;
    }
    if (!feed) return TLine::Incomplete;
    line.assign(data, length);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    taken = length + 1;
    return TLine::Whole;
}

THttpReplyParser::TStep THttpReplyParser::OnLine(const std::string& line, size_t taken) {
    switch (FState) {
    case TState::StatusLine:
        return OnStatusLine(line, taken);
    case TState::HeaderLines:
        return OnHeaderLine(line, taken);
    case TState::ChunkSize:
        return OnChunkSize(line, taken);
    case TState::ChunkEnd:
        if (!line.empty()) return Refuse("a chunk of its body does not end where its size says", taken);
        FState = TState::ChunkSize;
        return Step(TEvent::NeedMore, taken);
    case TState::Trailer:
        return OnTrailerLine(line, taken);
    default:
        return Step(TEvent::NeedMore, taken);
    }
}

THttpReplyParser::TStep THttpReplyParser::RefuseInterimReplies() {
    return Refuse(Format("more than %d interim replies in a row", MaxInterimReplies), 0);
}

THttpReplyParser::TStep THttpReplyParser::OnStatusLine(const std::string& line, size_t taken) {
    FStatusLine = line;
    FHead->HeaderLines.Clear();
    FLines = 0;
    FBytes = 0;
    FState = TState::HeaderLines;
    return Step(TEvent::NeedMore, taken);
}

void THttpReplyParser::StatusLineRead(const std::string& line) {
    FState = TState::StatusLine;
    OnStatusLine(line, 0);
}

THttpReplyParser::TStep THttpReplyParser::OnHeaderLine(const std::string& line, size_t taken) {
    if (line.empty()) return EndHead(taken);
    if (!CountLine(line, "header block")) return Step(TEvent::Error, taken);
    FHead->HeaderLines.Add(line);
    return Step(TEvent::NeedMore, taken);
}

THttpReplyParser::TStep THttpReplyParser::EndHead(size_t taken) {
    FHead->ParseHeaders();
    FCloseAfterReply = false;
    if (Interim()) {
        ++FInterim;
        FState = TState::StatusLine;
    } else {
        FState = TState::Framing;
    }
    return Step(TEvent::Head, taken);
}

bool THttpReplyParser::CountLine(const std::string& line, const char* block) {
    ++FLines;
    FBytes += static_cast<int64_t>(line.size()) + 2;
    if (FLines > MaxHeaderLines)
        Refuse(Format("its %s has more than %d lines", block, MaxHeaderLines), 0);
    else if (FBytes > MaxHeaderBytes)
        Refuse(Format("its %s is longer than %lld bytes", block, static_cast<long long>(MaxHeaderBytes)), 0);
    return FState != TState::Failed;
}

bool THttpReplyParser::HasBody() const {
    // A reply to HEAD has no body, whatever its Content-Length says; neither
    // has an interim reply, a 204 or a 304.
    const int32_t code = StatusCode();
    return !FReplyToHead && code / 100 != 1 && code != 204 && code != 304;
}

THttpReplyParser::TStep THttpReplyParser::DecideFraming() {
    if (!FHead->FramingError.empty()) return Refuse(FHead->FramingError, 0);
    // With a Transfer-Encoding the Content-Length is ignored; a reply with
    // both may have been meant to be read either way, and whatever follows
    // it is not to be trusted as the next reply.
    const bool coded = FHead->HeaderLines.FindName("Transfer-Encoding") >= 0;
    const bool chunked = IsChunkedCoding(FHead->HeaderLines);
    if (coded) {
        FCloseAfterReply = FHead->LengthKnown() || !chunked;
        FHead->SetContentLength(-1);
    }
    if (!HasBody()) return Finish(0);
    if (chunked) {
        FState = TState::ChunkSize;
    } else if (coded || !FHead->LengthKnown()) {
        FState = TState::UntilClose;
    } else if (FHead->ContentLength() > 0) {
        FState = TState::Length;
        FRemaining = FHead->ContentLength();
    } else {
        return Finish(0);
    }
    return Step(TEvent::NeedMore, 0);
}

THttpReplyParser::TStep THttpReplyParser::OnChunkSize(const std::string& line, size_t taken) {
    // Extensions (";name=value") and anything after a blank are not the size.
    const std::string digits = TextTrim(line.substr(0, line.find_first_of(" \t;")));
    int64_t size = 0;
    if (!ReadHexSize(digits, size))
        return Refuse(
            Format("its chunk size \"%s\" is not a hexadecimal number", TextCopy(line, 1, 64).c_str()),
            taken);
    if (size == 0) {
        // The trailer is held to the header block's limits.
        FLines = 0;
        FBytes = 0;
        FState = TState::Trailer;
    } else {
        FRemaining = size;
        FState = TState::ChunkData;
    }
    return Step(TEvent::NeedMore, taken);
}

THttpReplyParser::TStep THttpReplyParser::OnTrailerLine(const std::string& line, size_t taken) {
    // A trailer left unread would be taken for the next reply's status line.
    if (line.empty()) return Finish(taken);
    if (!CountLine(line, "chunked body's trailer")) return Step(TEvent::Error, taken);
    return Step(TEvent::NeedMore, taken);
}

THttpReplyParser::TStep THttpReplyParser::TakeBody(const char* data, size_t size) {
    size_t take = size;
    if (FState != TState::UntilClose) {
        take = static_cast<size_t>(std::min<int64_t>(FRemaining, static_cast<int64_t>(size)));
        BodyMoved(static_cast<int64_t>(take));
    }
    TStep step = Step(TEvent::Body, take);
    step.Body = data;
    step.BodySize = take;
    return step;
}

THttpReplyParser::TStep THttpReplyParser::Fail(TError error, const std::string& message, size_t taken) {
    FState = TState::Failed;
    FError = error;
    FErrorMessage = message;
    return Step(TEvent::Error, taken);
}

THttpReplyParser::TStep THttpReplyParser::Finish(size_t taken) {
    FState = TState::Finished;
    return Step(TEvent::Done, taken);
}

THttpReplyParser::TStep THttpReplyParser::FeedEnd(size_t pending) {
    // What a close means where it comes: the end of a header block that has
    // begun, or of a body read to the close; anywhere else a reply cut short.
    // An unfinished line is read as an empty one, as the connection reads it.
    switch (FState) {
    case TState::StatusLine:
        if (TooManyInterimReplies()) return RefuseInterimReplies();
        break;
    case TState::HeaderLines:
        if (FLines == 0 && pending == 0) break;
        return EndHead(0);
    case TState::Framing: {
        const TStep step = DecideFraming();
        return step.Event == TEvent::NeedMore ? FeedEnd(pending) : step;
    }
    case TState::UntilClose:
        return Finish(0);
    case TState::ChunkSize:
        if (pending > 0) return OnChunkSize("", 0);
        break;
    case TState::Trailer:
        if (pending > 0) return Finish(0);
        break;
    case TState::Finished:
        return Step(TEvent::Done, 0);
    case TState::Failed:
        return Step(TEvent::Error, 0);
    default:
        break;
    }
    return Fail(TError::Closed, RSConnectionClosedGracefully, 0);
}

bool THttpReplyParser::InBody() const {
    return FState == TState::Length || FState == TState::UntilClose || FState == TState::ChunkData;
}

int64_t THttpReplyParser::BodyLeft() const {
    return FState == TState::UntilClose ? -1 : FRemaining;
}

void THttpReplyParser::BodyMoved(int64_t count) {
    if (!InBody() || FState == TState::UntilClose) return;
    FRemaining -= std::min(count, FRemaining);
    if (FRemaining == 0) FState = FState == TState::Length ? TState::Finished : TState::ChunkEnd;
}
