// The reply parser on what the client's wire table cannot show: where a reply
// ends among the bytes after it, replies to HEAD, long lines cut into pieces,
// what a close means where it comes, and a caller that moves body bytes itself.

#include "http/HttpReplyParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using TEvent = THttpReplyParser::TEvent;

struct TParserCase {
    const char* Name;
    std::string Reply;
    bool Closes;
    // What the parser found, in order: "head <status line>", "body <bytes>"
    // (pieces joined), and "done at <bytes consumed>" or the refusal.
    std::vector<std::string> Found;
    bool ReplyToHead = false;
    int32_t MaxLineLength = 16384;
    bool SplitLongLines = false;
};

void Note(std::vector<std::string>& found, const std::string& what) {
    const bool body = what.rfind("body ", 0) == 0;
    if (body && !found.empty() && found.back().rfind("body ", 0) == 0)
        found.back() += what.substr(5);
    else
        found.push_back(what);
}

// Takes one step's finding; answers whether the reply is over.
bool Take(THttpReplyParser& parser, const THttpReplyParser::TStep& step, size_t consumed,
          std::vector<std::string>& found) {
    if (step.Event == TEvent::Head) Note(found, "head " + parser.StatusLine());
    if (step.Event == TEvent::Body) Note(found, "body " + std::string(step.Body, step.BodySize));
    if (step.Event == TEvent::Done) Note(found, "done at " + std::to_string(consumed));
    if (step.Event == TEvent::Error) Note(found, parser.ErrorMessage());
    return step.Event == TEvent::Done || step.Event == TEvent::Error;
}

// Feeds the reply one byte at a time, keeping what was not consumed.
std::vector<std::string> ParseByteByByte(const TParserCase& c) {
    THttpReplyParser parser(c.ReplyToHead);
    parser.MaxLineLength = c.MaxLineLength;
    parser.SplitLongLines = c.SplitLongLines;
    std::vector<std::string> found;
    std::string pending;
    size_t consumed = 0;
    for (size_t given = 0;;) {
        const THttpReplyParser::TStep step = parser.Feed(pending.data(), pending.size());
        consumed += step.Consumed;
        const bool over = Take(parser, step, consumed, found);
        pending.erase(0, step.Consumed);
        if (over) return found;
        if (step.Event != TEvent::NeedMore) continue;
        if (given == c.Reply.size()) break;
        pending += c.Reply[given++];
    }
    while (c.Closes) {
        const THttpReplyParser::TStep end = parser.FeedEnd(pending.size());
        if (Take(parser, end, consumed, found)) break;
        const THttpReplyParser::TStep step = parser.Feed(pending.data(), pending.size());
        consumed += step.Consumed;
        const bool over = Take(parser, step, consumed, found);
        pending.erase(0, step.Consumed);
        if (over) break;
    }
    return found;
}

const std::string Ok = "HTTP/1.1 200 OK\r\n";
const std::string Chunked = Ok + "Transfer-Encoding: chunked\r\n\r\n";
const std::string Cut = "Reply refused: its chunk size \"\" is not a hexadecimal number";
const std::string Closed = "Connection Closed Gracefully.";

std::vector<TParserCase> Cases() {
    std::vector<TParserCase> c;
    // The next reply's bytes stay unconsumed.
    c.push_back({"LengthEndsBeforeTheNextReply",
                 Ok + "Content-Length: 2\r\n\r\nok" + Ok,
                 false,
                 {"head HTTP/1.1 200 OK", "body ok", "done at 40"}});
    c.push_back({"ChunkedEndsAfterItsTrailer",
                 Chunked + "2\r\nab\r\n0\r\nX: 1\r\n\r\n" + Ok,
                 false,
                 {"head HTTP/1.1 200 OK", "body ab", "done at 65"}});
    c.push_back({"HeadReplyHasNoBody",
                 Ok + "Content-Length: 5\r\n\r\n" + Ok,
                 false,
                 {"head HTTP/1.1 200 OK", "done at 38"},
                 true});
    c.push_back({"NoContentHasNoBody",
                 "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nabcde",
                 false,
                 {"head HTTP/1.1 204 No Content", "done at 46"}});
    c.push_back({"InterimHeadsComeFirst",
                 "HTTP/1.1 100 Continue\r\n\r\n" + Ok + "Content-Length: 1\r\n\r\nx",
                 false,
                 {"head HTTP/1.1 100 Continue", "head HTTP/1.1 200 OK", "body x", "done at 64"}});
    // Cut into pieces of the line limit, a long line is read as several.
    c.push_back({"LongLinesAreSplit",
                 Ok + "X-Long: 0123456789\r\n\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "body ab", "done at 41"},
                 false,
                 16,
                 true});
    c.push_back({"LongLinesAreRefused",
                 Ok + "X-Long: 0123456789\r\n\r\nab",
                 true,
                 {"Max line length exceeded."},
                 false,
                 18});
    c.push_back({"CloseEndsABodyWithoutLength",
                 "HTTP/1.0 200 OK\r\n\r\nall of it",
                 true,
                 {"head HTTP/1.0 200 OK", "body all of it", "done at 28"}});
    // A head is whole only with its empty line.
    c.push_back({"CloseInsideTheHeaderBlockFails", Ok + "Server: x\r\n", true, {Closed}});
    c.push_back({"CloseInsideAHeaderLineFails", Ok + "Server: x", true, {Closed}});
    c.push_back({"CloseRightAfterTheStatusLineFails", Ok, true, {Closed}});
    c.push_back({"CloseInsideALengthFails",
                 Ok + "Content-Length: 5\r\n\r\nabc",
                 true,
                 {"head HTTP/1.1 200 OK", "body abc", Closed}});
    // An unfinished line before the close is read as an empty one.
    c.push_back({"CloseInsideAChunkSizeRefusesIt",
                 Chunked + "2\r\nab\r\n1",
                 true,
                 {"head HTTP/1.1 200 OK", "body ab", Cut}});
    c.push_back(
        {"CloseInsideTheTrailerEndsIt", Chunked + "0\r\nX-T", true, {"head HTTP/1.1 200 OK", "done at 50"}});
    c.push_back({"CloseBeforeTheTrailerFails", Chunked + "0\r\n", true, {"head HTTP/1.1 200 OK", Closed}});
    // Chunk sizes: hexadecimal digits up to 63 bits, any number of leading
    // zeros, no sign; blanks and an extension may follow.
    c.push_back({"ChunkSizeOf63BitsIsRead",
                 Chunked + "7FFFFFFFFFFFFFFF\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "body ab", Closed}});
    c.push_back({"ChunkSizePast63BitsIsRefused",
                 Chunked + "8000000000000000\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK",
                  "Reply refused: its chunk size \"8000000000000000\" is not a hexadecimal number"}});
    c.push_back({"ChunkSizeWithManyLeadingZeros",
                 Chunked + "00000000000000000000002\r\nab\r\n0\r\n\r\n",
                 false,
                 {"head HTTP/1.1 200 OK", "body ab", "done at 81"}});
    c.push_back({"BlanksAndAnExtensionAfterAChunkSize",
                 Chunked + "2 \t;x\r\nab\r\n0\r\n\r\n",
                 false,
                 {"head HTTP/1.1 200 OK", "body ab", "done at 63"}});
    c.push_back({"NegativeChunkSizeIsRefused",
                 Chunked + "-2\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "Reply refused: its chunk size \"-2\" is not a hexadecimal number"}});
    c.push_back({"WordAfterAChunkSizeIsRefused",
                 Chunked + "2 x\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "Reply refused: its chunk size \"2 x\" is not a hexadecimal number"}});
    // Field lines: a bare CR or a NUL anywhere refuses the reply, as does a
    // line without a colon unless it is folded onto the one before it.
    c.push_back({"BareCrInTheStatusLineIsRefused",
                 "HTTP/1.1 200 OK\rContent-Length: 0\r\n\r\n",
                 false,
                 {"Reply refused: its status line \"HTTP/1.1 200 OK\\rContent-Length: 0\" holds a bare CR"}});
    c.push_back({"NulInAHeaderValueIsRefused",
                 Ok + std::string("X-A: a\0b\r\n\r\n", 12),
                 false,
                 {"Reply refused: its header line \"X-A: a\\x00b\" holds a NUL byte"}});
    c.push_back({"FoldedLineContinuesTheOneBefore",
                 Ok + "X-A: 1\r\n 2\r\nContent-Length: 0\r\n\r\n",
                 false,
                 {"head HTTP/1.1 200 OK", "done at 50"}});
    c.push_back({"FoldedFirstLineWithoutColonIsRefused",
                 Ok + " 2\r\nContent-Length: 0\r\n\r\n",
                 false,
                 {"Reply refused: its header line \" 2\" has no colon"}});
    c.push_back({"TrailerLineWithoutColonIsRefused",
                 Chunked + "0\r\nX-T\r\n\r\n",
                 false,
                 {"head HTTP/1.1 200 OK", "Reply refused: its trailer line \"X-T\" has no colon"}});
    c.push_back({"BareCrInATrailerLineIsRefused",
                 Chunked + "0\r\nX-T: 1\r2\r\n\r\n",
                 false,
                 {"head HTTP/1.1 200 OK", "Reply refused: its trailer line \"X-T: 1\\r2\" holds a bare CR"}});
    // The rest of a line cut at the limit is a piece of it, not a line of its own.
    c.push_back({"PiecesOfALongLineNeedNoColon",
                 Ok + "X-Long: 0123456789abcdefghijklmnopq\r\n\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "body ab", "done at 58"},
                 false,
                 16,
                 true});
    // A coding nobody can take off is named; with no body there is none to take off.
    c.push_back({"UnknownCodingIsNamed",
                 Ok + "Transfer-Encoding: x-\x9b\r\n\r\nab",
                 true,
                 {"head HTTP/1.1 200 OK", "Transfer coding x-\\x9b is not supported"}});
    c.push_back({"CodingOfAReplyWithoutBodyIsNoMatter",
                 "HTTP/1.1 204 No Content\r\nTransfer-Encoding: gzip\r\n\r\n",
                 false,
                 {"head HTTP/1.1 204 No Content", "done at 52"}});
    return c;
}

class ParserCase : public ::testing::TestWithParam<size_t> {};

TEST_P(ParserCase, FindsWhatTheBytesSay) {
    const TParserCase c = Cases().at(GetParam());
    EXPECT_EQ(ParseByteByByte(c), c.Found);
}

INSTANTIATE_TEST_SUITE_P(HttpReplyParser, ParserCase, ::testing::Range<size_t>(0, Cases().size()),
                         [](const auto& info) { return std::string(Cases().at(info.param).Name); });

// The client moves body bytes itself: the parser stops before each piece,
// says how many bytes it has, and is told when they went.
TEST(HttpReplyParser, CallerMovesTheBodyChunkByChunk) {
    const std::string reply = Chunked + "5\r\nhello\r\n3;x=y\r\nabc\r\n0\r\n\r\n";
    THttpReplyParser parser;
    parser.CallerMovesBody = true;
    size_t at = 0;
    const auto feed = [&] {
        const THttpReplyParser::TStep step = parser.Feed(reply.data() + at, reply.size() - at);
        at += step.Consumed;
        return step.Event;
    };
    EXPECT_EQ(feed(), TEvent::Head);
    std::string body;
    while (feed() == TEvent::NeedMore) {
        ASSERT_TRUE(parser.InBody());
        const int64_t left = parser.BodyLeft();
        body += reply.substr(at, static_cast<size_t>(left)) + "|";
        at += static_cast<size_t>(left);
        parser.BodyMoved(left);
    }
    EXPECT_EQ(body, "hello|abc|");
    EXPECT_TRUE(parser.Ended());
    EXPECT_EQ(at, reply.size());
}

// Body bytes are handed over where they lie, never copied by the parser.
TEST(HttpReplyParser, BodyPointsIntoTheFedBytes) {
    const std::string reply = Ok + "Content-Length: 4\r\n\r\nbody";
    THttpReplyParser parser;
    const THttpReplyParser::TStep head = parser.Feed(reply.data(), reply.size());
    const THttpReplyParser::TStep body =
        parser.Feed(reply.data() + head.Consumed, reply.size() - head.Consumed);
    ASSERT_EQ(body.Event, TEvent::Body);
    EXPECT_EQ(body.Body, reply.data() + reply.size() - 4);
    EXPECT_EQ(body.BodySize, 4u);
}

// A protocol switch leaves a connection that speaks something else.
TEST(HttpReplyParser, SwitchingProtocolsSpoilsTheConnection) {
    const std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nContent-Length: 0\r\n\r\n";
    THttpReplyParser parser;
    ASSERT_EQ(parser.Feed(reply.data(), reply.size()).Event, TEvent::Head);
    EXPECT_EQ(parser.DecideFraming().Event, TEvent::Done);
    EXPECT_TRUE(parser.CloseAfterReply());
}

// Framed both ways, or read to the close: the connection cannot carry the next reply.
TEST(HttpReplyParser, FramingThatSpoilsTheConnection) {
    const struct {
        std::string Head;
        bool CloseAfter;
    } cases[] = {{"Transfer-Encoding: chunked\r\n", false},
                 {"Transfer-Encoding: chunked\r\nContent-Length: 4\r\n", true},
                 {"Transfer-Encoding: identity\r\n", true},
                 {"Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n", false},
                 {"Transfer-Encoding:\r\n", true},
                 {"Content-Length: 4\r\n", false}};
    for (const auto& c : cases) {
        const std::string reply = Ok + c.Head + "\r\n";
        THttpReplyParser parser;
        ASSERT_EQ(parser.Feed(reply.data(), reply.size()).Event, TEvent::Head);
        EXPECT_EQ(parser.DecideFraming().Event, TEvent::NeedMore) << c.Head;
        EXPECT_EQ(parser.CloseAfterReply(), c.CloseAfter) << c.Head;
    }
    // A reply of HTTP/1.0 with a coding does not leave a connection to trust either.
    for (const auto& c : cases) {
        const std::string reply = "HTTP/1.0 200 OK\r\n" + c.Head + "\r\n";
        THttpReplyParser parser;
        ASSERT_EQ(parser.Feed(reply.data(), reply.size()).Event, TEvent::Head);
        EXPECT_EQ(parser.DecideFraming().Event, TEvent::NeedMore) << c.Head;
        EXPECT_EQ(parser.CloseAfterReply(), c.Head.rfind("Transfer-Encoding", 0) == 0) << c.Head;
    }
}

} // namespace

namespace {

// How the body ends is known with the head, before any of it is read: the
// one decision every caller asks for instead of reading headers itself.
TEST(HttpReplyParser, FramingIsDecidedWithTheHead) {
    using F = TBodyFraming;
    const struct {
        std::string Reply;
        bool ReplyToHead;
        F Framing;
        int64_t Announced;
    } cases[] = {
        {Ok + "Content-Length: 5\r\n\r\n", false, F::Length, 5},
        {Ok + "Content-Length: 0\r\n\r\n", false, F::Length, 0},
        {Ok + "\r\n", false, F::UntilClose, -1},
        {Ok + "Transfer-Encoding: chunked\r\n\r\n", false, F::Chunked, -1},
        {Ok + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", false, F::Chunked, -1},
        {Ok + "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n\r\n", false, F::Chunked, -1},
        {Ok + "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n", false, F::Refused, -1},
        {Ok + "Transfer-Encoding: chunked, identity\r\nContent-Length: 5\r\n\r\n", false, F::Refused, -1},
        {Ok + "Transfer-Encoding: chunked;x=1\r\n\r\n", false, F::Refused, -1},
        {Ok + "Transfer-Encoding:\r\nContent-Length: 5\r\n\r\n", false, F::UntilClose, -1},
        {Ok + "Transfer-Encoding: identity\r\nContent-Length: 5\r\n\r\n", false, F::UntilClose, -1},
        {Ok + "Transfer-Encoding: identity,\r\n  chunked\r\n\r\n", false, F::Chunked, -1},
        {Ok + "Transfer-Encoding: gzip,\r\n  chunked\r\n\r\n", false, F::Refused, -1},
        {Ok + "Transfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n", true, F::None, -1},
        {"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: gzip\r\n\r\n", false, F::None, -1},
        {Ok + "Transfer-Encoding: chunked, chunked\r\n\r\n", false, F::Refused, -1},
        {Ok + "Transfer-Encoding : chunked\r\n\r\n", false, F::Refused, -1},
        {Ok + "Content-Length : 5\r\n\r\n", false, F::Refused, -1},
        {Ok + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", false, F::Refused, -1},
        {Ok + "Content-Length: 5\r\n\r\n", true, F::None, -1},
        {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, F::None, -1},
        {"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", false, F::None, -1},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\n", false, F::Length, 3},
    };
    for (const auto& c : cases) {
        THttpReplyParser parser(c.ReplyToHead);
        ASSERT_EQ(parser.Feed(c.Reply.data(), c.Reply.size()).Event, TEvent::Head) << c.Reply;
        EXPECT_EQ(parser.Framing(), c.Framing) << c.Reply;
        EXPECT_EQ(parser.Head().AnnouncedLength(), c.Announced) << c.Reply;
        const TEvent next = parser.DecideFraming().Event;
        EXPECT_EQ(next == TEvent::Error, c.Framing == F::Refused) << c.Reply;
    }
}

// Only "HTTP/1.x", a blank and a code of three digits from 100 to 599 make a
// status line; a code is never read out of anything else.
TEST(HttpReplyParser, StatusLinesAreReadStrictly) {
    const struct {
        const char* Line;
        int32_t Code;
    } cases[] = {{"HTTP/1.1 200 OK", 200}, {"HTTP/1.0 404", 404},    {"HTTP/1.9 599 x y", 599},
                 {"HTTP/1.1 100 ", 100},   {"HTTP/1.1 +200 OK", -1}, {"HTTP/1.1 2000", -1},
                 {"HTTP/1.1 20", -1},      {"HTTP/1.1 600 OK", -1},  {"HTTP/1.1 099 OK", -1},
                 {"HTTP/1.1\t200 OK", -1}, {"HTTP/1.1 200\tOK", -1}, {"HTTP/2.0 200 OK", -1},
                 {"HTTPS/1.1 200 OK", -1}, {"HTTP/1.1 2a0 OK", -1},  {"", -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(StatusCodeOf(c.Line), c.Code) << c.Line;
        EXPECT_EQ(IsStatusLine(c.Line), c.Code != -1) << c.Line;
    }
}

} // namespace
