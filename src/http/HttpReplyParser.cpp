#include "http/HttpReplyParser.h"

#include "core/TextUtils.h"
#include "http/IdURI.h"
#include "net/IdException.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

int32_t StatusCodeOf(const std::string& statusLine) {
    if (!IsStatusLine(statusLine)) return -1;
    int32_t code = 0;
    std::from_chars(statusLine.data() + 9, statusLine.data() + 12, code);
    return code;
}

bool IsStatusLine(const std::string& line) {
    const auto digit = [&line](size_t at, char low) { return line[at] >= low && line[at] <= '9'; };
    return line.size() >= 12 && line.compare(0, 7, "HTTP/1.") == 0 && digit(7, '0') && line[8] == ' ' &&
           digit(9, '1') && line[9] <= '5' && digit(10, '0') && digit(11, '0') &&
           (line.size() == 12 || line[12] == ' ');
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
// A size is hexadecimal digits and nothing else; blanks may follow, then
// extensions after a ";", which are not read.
bool ReadHexSize(const std::string& line, int64_t& size) {
    // Unsigned, so that a "-" is no digit.
    uint64_t value = 0;
    const char* end = line.data() + line.size();
    const auto [digitsEnd, error] = std::from_chars(line.data(), end, value, 16);
    if (error != std::errc{} || value > uint64_t(INT64_MAX)) return false;
    const char* at = digitsEnd;
    while (at != end && (*at == ' ' || *at == '\t'))
        ++at;
    if (at != end && *at != ';') return false;
    size = static_cast<int64_t>(value);
    return true;
}

// A Content-Length or Transfer-Encoding written with blanks around its name
// is that header to some readers and an unknown one to others: whichever way
// it is read, a peer in between may have framed the reply the other way.
std::string BlanksAroundFramingName(const TIdHeaderList& lines) {
    for (int k = 0; k < lines.Count(); ++k) {
        const std::string name = lines.NameAt(k);
        const std::string trimmed = TextTrim(name);
        if (name != trimmed &&
            (SameText(trimmed, "Content-Length") || SameText(trimmed, "Transfer-Encoding")))
            return Format("its header line \"%s\" has blanks around its name",
                          TextCopy(lines[k], 1, 64).c_str());
    }
    return {};
}

// Every coding of every Transfer-Encoding line, in order: two lines are one
// list, as if their values were joined by a comma. Empty list items are none.
// The list is cut at every comma byte, as every other reader of the reply
// cuts it: a byte before a comma is never taken for half of a character.
std::vector<std::string> TransferCodings(const TIdHeaderList& lines, bool& present) {
    present = false;
    std::vector<std::string> codings;
    for (int k = 0; k < lines.Count(); ++k) {
        if (!SameText(lines.NameAt(k), "Transfer-Encoding")) continue;
        present = true;
        const std::string values = lines.ValueAt(k);
        for (size_t from = 0; from <= values.size();) {
            const size_t comma = std::min(values.find(',', from), values.size());
            std::string coding = TextTrim(std::string_view(values).substr(from, comma - from));
            if (!coding.empty()) codings.push_back(std::move(coding));
            from = comma + 1;
        }
    }
    return codings;
}

// The client takes off chunked, as the last coding, and nothing else: it
// never sends TE, so no server had a reason to apply another, and a body
// still carrying one would be saved as if it were the resource. identity is
// no coding at all. The first coding that would stay on the body, or empty.
std::string CodingLeftOn(const std::vector<std::string>& codings) {
    for (const std::string& coding : codings)
        if (!SameText(coding, "chunked") && !SameText(coding, "identity")) return coding;
    return {};
}

// What a message shows of a line from the peer: control bytes and bytes
// past ASCII as escapes, so that no byte of it reaches a terminal or a log
// raw, and a bare CR is seen where it stands.
std::string Escaped(std::string_view text, size_t limit = 80) {
    std::string shown;
    for (size_t k = 0; k < text.size() && k < limit; ++k) {
        const auto byte = static_cast<unsigned char>(text[k]);
        if (byte == '\r')
            shown += "\\r";
        else if (byte == '\t')
            shown += "\\t";
        else if (byte == '\\')
            shown += "\\\\";
        else if (byte < 0x20 || byte >= 0x7F)
            shown += Format("\\x%02x", byte);
        else
            shown += static_cast<char>(byte);
    }
    return shown;
}

// RFC 9112 section 2.2 and RFC 9110 section 5.5: a CR anywhere but before
// the line feed, and a NUL anywhere, make the line invalid. Readers that end
// lines at a bare CR (or a string at a NUL) would read another reply than
// this one; null when the line has neither.
const char* ForbiddenByteIn(const std::string& line) {
    if (line.find('\r') != std::string::npos) return "a bare CR";
    if (line.find('\0') != std::string::npos) return "a NUL byte";
    return nullptr;
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
    const TLine result = TakeLine(data, size, line, taken);
    switch (result) {
    case TLine::Incomplete:
        FStalled = true;
        return Step(TEvent::NeedMore, 0);
    case TLine::TooLong:
        return Fail(TError::LineTooLong, RSMaxLineLengthExceeded, 0);
    case TLine::Whole:
    case TLine::Piece:
        break;
    }
    const TStep step = OnLine(line, taken);
    FAfterPiece = result == TLine::Piece;
    return step;
}

THttpReplyParser::TLine THttpReplyParser::TakeLine(const char* data, size_t size, std::string& line,
                                                   size_t& taken) const {
    const auto* feed = size > 0 ? static_cast<const char*>(std::memchr(data, '\n', size)) : nullptr;
    const size_t limit = MaxLineLength > 0 ? static_cast<size_t>(MaxLineLength) : SIZE_MAX;
    const size_t length = feed ? static_cast<size_t>(feed - data) : size;
    if (length > limit) {
        if (!SplitLongLines) return TLine::TooLong;
        line.assign(data, limit);
        // Cut between its CR and its line feed: the CR ends the line, it is no bare one.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        taken = limit;
        return TLine::Piece;
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
    FHead->Framing = TBodyFraming::None;
    FLines = 0;
    FBytes = 0;
    if (const char* forbidden = ForbiddenByteIn(line))
        return Refuse(Format("its status line \"%s\" holds %s", Escaped(line).c_str(), forbidden), taken);
    // Read loosely, "+200" would be 200 and "HTTP/1.1200OK" a reply of some kind.
    if (!IsStatusLine(line))
        return Refuse(Format("its status line \"%s\" is not HTTP/1.x with a three-digit code",
                             TextCopy(line, 1, 64).c_str()),
                      taken);
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
    const TStep checked = CheckFieldLine(line, "header line", FHead->HeaderLines.Count() > 0, taken);
    if (checked.Event == TEvent::Error) return checked;
    FHead->HeaderLines.Add(line);
    return Step(TEvent::NeedMore, taken);
}

// A line of a header block or a trailer: "name: value", or a folded line
// (starting with a blank) that continues the one before it.
THttpReplyParser::TStep THttpReplyParser::CheckFieldLine(const std::string& line, const char* what,
                                                         bool continues, size_t taken) {
    if (const char* forbidden = ForbiddenByteIn(line))
        return Refuse(Format("its %s \"%s\" holds %s", what, Escaped(line).c_str(), forbidden), taken);
    // The rest of a line cut at the length limit continues it as a fold does.
    const bool folded = line[0] == ' ' || line[0] == '\t' || FAfterPiece;
    if (line.find(':') == std::string::npos && !(folded && continues))
        return Refuse(Format("its %s \"%s\" has no colon", what, Escaped(line).c_str()), taken);
    return Step(TEvent::NeedMore, taken);
}

THttpReplyParser::TStep THttpReplyParser::EndHead(size_t taken) {
    FHead->ParseHeaders();
    FCloseAfterReply = false;
    if (Interim()) {
        ++FInterim;
        FState = TState::StatusLine;
    } else {
        DecideBodyFraming();
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

// Why the final head's framing cannot be trusted, as the refusal's whole
// message; empty when it can.
std::string THttpReplyParser::FramingRefusal(const std::vector<std::string>& codings) const {
    std::string why = FHead->FramingError;
    if (why.empty()) why = BlanksAroundFramingName(FHead->HeaderLines);
    const auto chunks = std::count_if(codings.begin(), codings.end(),
                                      [](const std::string& c) { return SameText(c, "chunked"); });
    // Chunks inside chunks: taking off one framing would leave the other in the body.
    if (why.empty() && chunks > 1) why = "its Transfer-Encoding names chunked twice";
    if (!why.empty()) return "Reply refused: " + why;
    if (!HasBody()) return {}; // no body, nothing to take a coding off
    const std::string left = CodingLeftOn(codings);
    if (!left.empty()) return "Transfer coding " + Escaped(left) + " is not supported";
    if (chunks == 1 && !SameText(codings.back(), "chunked"))
        return "Reply refused: its Transfer-Encoding names a coding after chunked";
    return {};
}

// The one place that tells how a body ends (RFC 9112 section 6.3): from every
// Transfer-Encoding line taken together, chunked only as the last coding;
// identity alone is read to the close, any other coding refused. With a
// Transfer-Encoding the Content-Length is ignored; a reply with both may have
// been meant to be read either way, and whatever follows it is not to be
// trusted as the next reply, as after a body read to the close.
void THttpReplyParser::DecideBodyFraming() {
    bool coded = false;
    const std::vector<std::string> codings = TransferCodings(FHead->HeaderLines, coded);
    FFramingRefusal = FramingRefusal(codings);
    if (!FFramingRefusal.empty()) {
        FHead->Framing = TBodyFraming::Refused;
        return;
    }
    const bool chunked = !codings.empty() && SameText(codings.back(), "chunked");
    if (coded) {
        // An HTTP/1.0 reply has no transfer codings: one that names them was
        // framed by something that did not speak its version.
        const bool version10 = FStatusLine.compare(0, 8, "HTTP/1.0") == 0;
        FCloseAfterReply = FHead->LengthKnown() || !chunked || version10;
        FHead->SetContentLength(-1);
    }
    // After a protocol switch the connection speaks another protocol, whatever the reply is made of.
    if (StatusCode() == 101) FCloseAfterReply = true;
    if (!HasBody())
        FHead->Framing = TBodyFraming::None;
    else if (chunked)
        FHead->Framing = TBodyFraming::Chunked;
    else if (coded || !FHead->LengthKnown())
        FHead->Framing = TBodyFraming::UntilClose;
    else
        FHead->Framing = TBodyFraming::Length;
}

THttpReplyParser::TStep THttpReplyParser::DecideFraming() {
    switch (FHead->Framing) {
    case TBodyFraming::Refused:
        return Fail(TError::Refused, FFramingRefusal, 0);
    case TBodyFraming::None:
        return Finish(0);
    case TBodyFraming::Chunked:
        FState = TState::ChunkSize;
        break;
    case TBodyFraming::UntilClose:
        FState = TState::UntilClose;
        break;
    case TBodyFraming::Length:
        if (FHead->ContentLength() == 0) return Finish(0);
        FState = TState::Length;
        FRemaining = FHead->ContentLength();
        break;
    }
    return Step(TEvent::NeedMore, 0);
}

THttpReplyParser::TStep THttpReplyParser::OnChunkSize(const std::string& line, size_t taken) {
    int64_t size = 0;
    if (!ReadHexSize(line, size))
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
    const bool continues = FLines > 1;
    return CheckFieldLine(line, "trailer line", continues, taken);
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
    // What a close means where it comes: the end of a body read to the
    // close; anywhere else a reply cut short.
    // An unfinished line is read as an empty one, as the connection reads it.
    switch (FState) {
    case TState::StatusLine:
        if (TooManyInterimReplies()) return RefuseInterimReplies();
        break;
    case TState::HeaderLines:
        // A head is whole only with its empty line: cut short, it may lack
        // the very line that frames its body or closes the connection.
        break;
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
