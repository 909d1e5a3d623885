// The reply parser on its own, fed a reply whole and again in pieces: both
// must find the same heads, the same body and the same end or refusal, and
// every feed must consume or ask for more (no loop without progress). Each
// reply is framed once more by the rules of ReferenceFraming.h, from the same
// bytes: the parser ends a reply as whole exactly when those rules do, with
// the same body, at the same byte.
//
// Input: two option bytes, then the reply's bytes.
//   0  the piece size of the second feed (0: one byte at a time)
//   1  flags: a reply to HEAD (1), long lines split (2), the peer closes at
//      the end (4); the top five bits times 8 are the line limit (0: none)

#include "FuzzSupport.h"
#include "ReferenceFraming.h"
#include "http/HttpReplyParser.h"

#include <cstdlib>

namespace {

struct TOutcome {
    std::string Heads;
    std::string Body;
    std::string End;
    size_t Consumed = 0;
    bool operator==(const TOutcome&) const = default;
};

struct TOptions {
    bool ReplyToHead = false;
    bool SplitLongLines = false;
    bool Closes = false;
    int32_t MaxLineLength = 0;
};

// Takes one step's findings; answers whether the reply is over.
bool Record(THttpReplyParser& parser, const THttpReplyParser::TStep& step, TOutcome& outcome) {
    using TEvent = THttpReplyParser::TEvent;
    if (step.Event == TEvent::Head) outcome.Heads += parser.StatusLine() + "\n";
    if (step.Event == TEvent::Body) outcome.Body.append(step.Body, step.BodySize);
    if (step.Event == TEvent::Done) outcome.End = "done";
    if (step.Event == TEvent::Error) outcome.End = parser.ErrorMessage();
    return step.Event == TEvent::Done || step.Event == TEvent::Error;
}

TOutcome ParseOrRefuse(const std::string& reply, size_t piece, const TOptions& options);

// The header record's own refusals (a Content-Range that is no range) end a parse too.
TOutcome Parse(const std::string& reply, size_t piece, const TOptions& options) {
    try {
        return ParseOrRefuse(reply, piece, options);
    } catch (const Exception& e) {
        return {"", "", std::string(e.ClassName()) + ": " + e.Message()};
    }
}

TOutcome ParseOrRefuse(const std::string& reply, size_t piece, const TOptions& options) {
    THttpReplyParser parser(options.ReplyToHead);
    parser.SplitLongLines = options.SplitLongLines;
    parser.MaxLineLength = options.MaxLineLength;
    TOutcome outcome;
    std::string pending;
    size_t given = 0;
    for (;;) {
        const THttpReplyParser::TStep step = parser.Feed(pending.data(), pending.size());
        if (step.Consumed > pending.size()) std::abort();
        outcome.Consumed += step.Consumed;
        // A body piece points into the pending bytes: taken before they move.
        const bool over = Record(parser, step, outcome);
        pending.erase(0, step.Consumed);
        if (over) return outcome;
        if (step.Event != THttpReplyParser::TEvent::NeedMore) continue;
        if (given == reply.size()) break;
        const size_t more = std::min(piece, reply.size() - given);
        pending.append(reply, given, more);
        given += more;
    }
    if (!options.Closes) return outcome;
    // A close ends every reply, as a whole one or a failure.
    if (!Record(parser, parser.FeedEnd(pending.size()), outcome)) std::abort();
    return outcome;
}

// The parser against the rules, where both speak: a head the header record
// cannot read (an EConvertError) and lines split at the limit are the
// parser's own.
void CheckAgainstTheRules(const std::string& reply, const TOptions& options, const TOutcome& parsed) {
    if (options.SplitLongLines && options.MaxLineLength > 0) return;
    if (parsed.End.rfind("EConvertError", 0) == 0) return;
    const reference::TFramed framed = reference::Frame(
        reply, {options.ReplyToHead, options.Closes, static_cast<size_t>(options.MaxLineLength)});
    const bool whole = framed.Result == reference::TResult::Whole;
    if (whole != (parsed.End == "done")) std::abort();
    if (whole && (framed.Body != parsed.Body || framed.End != parsed.Consumed)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::TInputPrefix prefix(data, size);
    const size_t piece = prefix.Byte();
    const uint8_t flags = prefix.Byte();
    const TOptions options{(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags >> 3) * 8};
    const std::string reply = fuzz::Text(data, size);
    const TOutcome whole = Parse(reply, reply.size() + 1, options);
    const TOutcome pieces = Parse(reply, piece == 0 ? 1 : piece, options);
    if (!(whole == pieces)) std::abort();
    CheckAgainstTheRules(reply, options, whole);
    return 0;
}
