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
    c.push_back({"CloseInsideTheHeaderBlockEndsIt",
                 Ok + "Server: x\r\n",
                 true,
                 {"head HTTP/1.1 200 OK", "done at 28"}});
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

// Framed both ways, or by a coding read to the close: the connection cannot carry the next reply.
TEST(HttpReplyParser, FramingThatSpoilsTheConnection) {
    const struct {
        std::string Head;
        bool CloseAfter;
    } cases[] = {{"Transfer-Encoding: chunked\r\n", false},
                 {"Transfer-Encoding: chunked\r\nContent-Length: 4\r\n", true},
                 {"Transfer-Encoding: gzip\r\n", true},
                 {"Content-Length: 4\r\n", false}};
    for (const auto& c : cases) {
        const std::string reply = Ok + c.Head + "\r\n";
        THttpReplyParser parser;
        ASSERT_EQ(parser.Feed(reply.data(), reply.size()).Event, TEvent::Head);
        EXPECT_EQ(parser.DecideFraming().Event, TEvent::NeedMore) << c.Head;
        EXPECT_EQ(parser.CloseAfterReply(), c.CloseAfter) << c.Head;
    }
}

} // namespace
