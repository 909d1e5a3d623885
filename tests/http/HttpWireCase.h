#pragma once
// The harness of the client's wire tables: a case names what a scripted peer
// answers, the exact bytes the client must write on each connection, and the
// body or the failure ("Class: message") the caller must see.

#include "http/HttpReplyParser.h"
#include "http/IdHTTP.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wire {

using S = TPeerStep;

// "{port}" in URLs and expected bytes stands for the peer's port.
inline std::string Replace(std::string text, int port) {
    const std::string mark = "{port}";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), std::to_string(port));
    return text;
}

// The request of a default client for path on the peer; extra lines come after User-Agent.
inline std::string Get(const std::string& path, const std::string& extra = "",
                       const std::string& host = "127.0.0.1:{port}") {
    return "GET " + path + " HTTP/1.1\r\nContent-Type: text/html\r\nHost: " + host +
           "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n" +
           extra + "\r\n";
}

inline const std::string RequestEnd = "\r\n\r\n";
// The body of a failed fetch that depends on how the reply was cut into segments.
inline const std::string AnyBody = "\x01(any body)";

// Reads one request and answers it; then closes, or keeps the connection
// open until the client closes it or the test stops the peer (so a check of
// a kept connection never races the peer's own close).
inline TPeerScript Reply(const std::string& reply, bool closeAfter = true) {
    TPeerScript s{S::ReadUntil(RequestEnd), S::Send(reply)};
    s.push_back(closeAfter ? S::Close() : S::Stall());
    return s;
}

struct TWireCase {
    using TSetup = std::function<void(TIdHTTP&, int port)>;
    using TCheck = std::function<void(TIdHTTP&, const Exception*)>;

    TWireCase(const char* name, std::string url, std::vector<TPeerScript> scripts,
              std::vector<std::string> requests, std::string body, std::string failure,
              bool segmentSensitive = false, TSetup setup = nullptr, TCheck check = nullptr)
        : Name(name), Url(std::move(url)), Scripts(std::move(scripts)), Requests(std::move(requests)),
          Body(std::move(body)), Failure(std::move(failure)), SegmentSensitive(segmentSensitive),
          Setup(std::move(setup)), Check(std::move(check)) {}

    const char* Name;
    std::string Url;
    std::vector<TPeerScript> Scripts;
    std::vector<std::string> Requests; // exact bytes per connection
    std::string Body;
    std::string Failure; // "Class: message", empty for success
    // The outcome depends on what the client's first read holds (a short body
    // kept as it came, a close racing the data): such a case runs in one piece only.
    bool SegmentSensitive = false;
    TSetup Setup;
    TCheck Check;
};

inline void RunCase(const TWireCase& wire, bool oneBytePerSegment) {
    std::vector<TPeerScript> scripts = wire.Scripts;
    for (auto& script : scripts)
        for (auto& step : script)
            if (step.Kind == TPeerStep::TKind::Send) {
                step.OneBytePerSegment = oneBytePerSegment;
                // A client that refuses the reply may leave before it is all sent.
                step.HangUpExpected = !wire.Failure.empty();
            }
    TScriptedPeer peer(scripts);
    TIdHTTP client;
    if (wire.Setup) wire.Setup(client, peer.Port());
    TMemoryStream body;
    std::string failure;
    std::unique_ptr<Exception> caught;
    try {
        client.FetchToStream(Replace(wire.Url, peer.Port()), body);
    } catch (const EIdHTTPProtocolException& e) {
        failure = std::string(e.ClassName()) + ": " + e.Message();
        caught = std::make_unique<EIdHTTPProtocolException>(e);
    } catch (const Exception& e) {
        failure = std::string(e.ClassName()) + ": " + e.Message();
        caught = std::make_unique<Exception>(e);
    }
    EXPECT_EQ(failure, wire.Failure);
    if (wire.Body != AnyBody) {
        EXPECT_EQ(body.DataString(), wire.Body);
    }
    if (wire.Check) wire.Check(client, caught.get());
    peer.Stop();
    for (size_t k = 0; k < wire.Requests.size(); ++k)
        EXPECT_EQ(peer.Received(k), Replace(wire.Requests[k], peer.Port())) << "connection " << k;
}

// The protocol exception of a case, for checks of its code and body.
inline const EIdHTTPProtocolException& ProtocolError(const Exception* e) {
    auto* p = dynamic_cast<const EIdHTTPProtocolException*>(e);
    if (p == nullptr) throw std::runtime_error("no EIdHTTPProtocolException");
    return *p;
}

} // namespace wire

namespace wire {

// What the reply parser makes of a case's reply bytes, fed to it directly:
// the body, and "Done", "NeedMore" (the reply is not over and the peer keeps
// the connection open) or the failure as "Class: message".
struct TParsed {
    std::string Body;
    std::string Outcome;
};

inline std::string ParserFailure(const THttpReplyParser& parser) {
    switch (parser.Error()) {
    case THttpReplyParser::TError::LineTooLong:
        return "EIdReadLnMaxLineLengthExceeded: " + parser.ErrorMessage();
    case THttpReplyParser::TError::Closed:
        return "EIdConnClosedGracefully: " + parser.ErrorMessage();
    default:
        return "EIdHTTPProtocolException: " + parser.ErrorMessage();
    }
}

// Feeds the bytes the first connection's script sends, all at once or one
// byte at a time, and the close when the script closes.
inline TParsed ParseReply(const TPeerScript& script, bool oneByteAtATime) {
    std::string wire;
    bool closes = false;
    for (const TPeerStep& step : script) {
        if (step.Kind == TPeerStep::TKind::Send) wire += step.Bytes;
        closes = closes || step.Kind == TPeerStep::TKind::Close;
    }
    THttpReplyParser parser;
    TParsed parsed;
    std::string pending;
    size_t given = 0;
    for (;;) {
        const THttpReplyParser::TStep step = parser.Feed(pending.data(), pending.size());
        if (step.Event == THttpReplyParser::TEvent::Body) parsed.Body.append(step.Body, step.BodySize);
        pending.erase(0, step.Consumed);
        if (step.Event == THttpReplyParser::TEvent::Done) return {parsed.Body, "Done"};
        if (step.Event == THttpReplyParser::TEvent::Error) return {parsed.Body, ParserFailure(parser)};
        if (step.Event != THttpReplyParser::TEvent::NeedMore) continue;
        if (given == wire.size()) {
            if (!closes) return {parsed.Body, "NeedMore"};
            const THttpReplyParser::TStep end = parser.FeedEnd(pending.size());
            if (end.Event == THttpReplyParser::TEvent::Done) return {parsed.Body, "Done"};
            return {parsed.Body, ParserFailure(parser)};
        }
        const size_t more = oneByteAtATime ? 1 : wire.size() - given;
        pending.append(wire, given, more);
        given += more;
    }
}

// Whether the client's failure is the framing's: otherwise the client
// refused a reply the framing read whole (its status, its range, a
// connection already gone), and the parser must not fail it.
inline bool FramingFailure(const std::string& failure) {
    const bool refusal = failure.find(": Reply refused: ") != std::string::npos ||
                         failure.find(": Transfer coding ") != std::string::npos;
    const bool decision = failure.find("Content-Range") != std::string::npos ||
                          failure.find("a part (206)") != std::string::npos;
    return (refusal && !decision) || failure.rfind("EIdReadLnMaxLineLengthExceeded", 0) == 0 ||
           failure.rfind("EIdConnClosedGracefully", 0) == 0;
}

// What the parser reads of the replies the client refuses for their status
// or their range, or keeps as an error's body: the framing reads them whole
// (or waits for more, where the peer keeps the connection and the reply is
// not over), body and all.
inline const TParsed* ReadWhole(const std::string& caseName) {
    static const std::vector<std::pair<std::string, TParsed>> table{
        {"SwitchingProtocolsIsRefused", {"", "Done"}},
        {"UnaskedNotModifiedFailsAtOnce", {"", "Done"}},
        {"PartNobodyAskedForIsRefused", {"hello", "Done"}},
        {"ErrorReplyCarriesBody", {"the why", "Done"}},
        {"LongErrorBodyIsKeptIn64KiB", {std::string(70000, 'e'), "Done"}},
        {"LongChunkedErrorBodyIsKeptIn64KiB", {std::string(70000, 'e'), "NeedMore"}},
        {"RangeStartingElsewhereIsRefused", {"hello", "Done"}},
        {"RangeEndingPastTheTotalIsRefused", {"world", "Done"}},
        {"RangeBackwardsIsRefused", {"world", "Done"}},
        {"RangeLongerThanItsBodyIsRefused", {"world", "Done"}},
        {"RangeWithoutNumbersIsRefused", {"world", "Done"}},
    };
    for (const auto& [name, parsed] : table)
        if (name == caseName) return &parsed;
    return nullptr;
}

// The parser on its own reads a case's reply as the client does: the same
// body, the same refusal; a reply the client refused for its status it reads whole.
inline void RunParserCase(const TWireCase& wire, bool oneByteAtATime) {
    const TParsed parsed = ParseReply(wire.Scripts.at(0), oneByteAtATime);
    if (wire.Failure.empty()) {
        EXPECT_EQ(parsed.Outcome, "Done");
        if (wire.Body != AnyBody) {
            EXPECT_EQ(parsed.Body, wire.Body);
        }
    } else if (FramingFailure(wire.Failure)) {
        EXPECT_EQ(parsed.Outcome, wire.Failure);
        if (wire.Body != AnyBody) {
            EXPECT_EQ(parsed.Body, wire.Body);
        }
    } else {
        const TParsed* whole = ReadWhole(wire.Name);
        if (whole == nullptr) {
            ADD_FAILURE() << wire.Name << " is refused by the client alone: name what the parser reads of it";
            return;
        }
        EXPECT_EQ(parsed.Outcome, whole->Outcome);
        EXPECT_EQ(parsed.Body, whole->Body);
    }
}

} // namespace wire
