// The client on the wire, case by case: what a scripted peer answers, the
// exact bytes the client must have written, and the body or the failure the
// caller must see. Every case that does not depend on how the reply is cut
// into segments runs twice: as sent in one piece, and one byte per segment.

#include "http/IdHTTP.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using S = TPeerStep;

std::string Replace(std::string text, int port) {
    const std::string mark = "{port}";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), std::to_string(port));
    return text;
}

// The request of a default client for path on the peer.
std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + path +
           " HTTP/1.1\r\nContent-Type: text/html\r\nHost: 127.0.0.1:{port}\r\nAccept: text/html, */*\r\n"
           "User-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n" +
           extra + "\r\n";
}

const std::string RequestEnd = "\r\n\r\n";

struct TWireCase {
    TWireCase(const char* name, std::string url, std::vector<TPeerScript> scripts,
              std::vector<std::string> requests, std::string body, std::string failure,
              bool segmentSensitive = false, std::function<void(TIdHTTP&)> setup = nullptr,
              std::function<void(TIdHTTP&, const Exception*)> check = nullptr)
        : Name(name), Url(std::move(url)), Scripts(std::move(scripts)), Requests(std::move(requests)),
          Body(std::move(body)), Failure(std::move(failure)), SegmentSensitive(segmentSensitive),
          Setup(std::move(setup)), Check(std::move(check)) {}

    const char* Name;
    std::string Url;
    std::vector<TPeerScript> Scripts;
    std::vector<std::string> Requests; // exact bytes per connection
    std::string Body;
    std::string Failure; // "Class: message", empty for success
    bool SegmentSensitive = false;
    std::function<void(TIdHTTP&)> Setup;
    std::function<void(TIdHTTP&, const Exception*)> Check;
};

TPeerScript Reply(const std::string& reply, bool closeAfter = true) {
    TPeerScript s{S::ReadUntil(RequestEnd), S::Send(reply)};
    s.push_back(closeAfter ? S::Close() : S::Stall(1500));
    return s;
}

std::vector<TWireCase> Cases() {
    std::vector<TWireCase> c;
    c.push_back({"DefaultGetWritesFiveLines",
                 "http://127.0.0.1:{port}/dir/pic.jpg",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false)},
                 {Get("/dir/pic.jpg")},
                 "hello",
                 "",
                 false,
                 nullptr,
                 [](TIdHTTP& client, const Exception*) { EXPECT_TRUE(client.Connected()); }});
    c.push_back({"FragmentDroppedBackslashesBecomeSlashes",
                 "http://127.0.0.1:{port}\\a\\b.jpg?x=1#top",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")},
                 {Get("/a/b.jpg?x=1")},
                 "",
                 ""});
    c.push_back({"CredentialsInUrlSendNoAuthorization",
                 "http://u:p@127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx")},
                 {Get("/")},
                 "x",
                 ""});
    c.push_back(
        {"InterimContinueIsSkipped",
         "http://127.0.0.1:{port}/",
         {Reply("HTTP/1.1 100 Continue\r\nX-A: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
         {Get("/")},
         "ok",
         ""});
    c.push_back({"StatusLineWithoutSpaceIsNotAccepted",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1200OK\r\nContent-Length: 3\r\n\r\nbad")},
                 {Get("/")},
                 "",
                 "EIdHTTPProtocolException: HTTP/1.1200OK",
                 false,
                 nullptr,
                 [](TIdHTTP&, const Exception* e) {
                     auto* p = dynamic_cast<const EIdHTTPProtocolException*>(e);
                     ASSERT_NE(p, nullptr);
                     EXPECT_EQ(p->ReplyCode, -1);
                     EXPECT_EQ(p->ReplyBody, "bad");
                 }});
    c.push_back({"ConnectionCloseInAnyCaseDisconnects",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nConnection:   cLoSe  \r\nContent-Length: 2\r\n\r\nok", false)},
                 {Get("/")},
                 "ok",
                 "",
                 false,
                 nullptr,
                 [](TIdHTTP& client, const Exception*) { EXPECT_FALSE(client.Connected()); }});
    c.push_back({"ShortBodyBytesInFirstSegmentAreKept",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(60, 'b'))},
                 {Get("/")},
                 std::string(60, 'b'),
                 "",
                 true});
    c.push_back({"ShortBodyArrivingLaterGivesEmptyBody",
                 "http://127.0.0.1:{port}/",
                 {{S::ReadUntil(RequestEnd), S::Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"),
                   S::Pause(150), S::Send(std::string(60, 'b')), S::Close()}},
                 {Get("/")},
                 "",
                 "",
                 true});
    c.push_back({"BodyUntilClose",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.0 200 OK\r\nServer: x\r\n\r\n0123456789")},
                 {Get("/")},
                 "0123456789",
                 ""});
    c.push_back({"ContentLengthBeyond32BitsReadsUntilClose",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nshort")},
                 {Get("/")},
                 "short",
                 ""});
    c.push_back({"ContentLengthZeroOnOpenConnectionEndsAtOnce",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false)},
                 {Get("/")},
                 "",
                 ""});
    c.push_back({"Chunked",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1A\r\n" +
                            std::string(26, 'z') + "\r\n0\r\n\r\n",
                        false)},
                 {Get("/")},
                 "hello" + std::string(26, 'z'),
                 "",
                 false,
                 nullptr,
                 [](TIdHTTP& client, const Exception*) { EXPECT_TRUE(client.Connected()); }});
    c.push_back({"ChunkSizeWithWordsAfterASpace",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na some words\r\n0123456789\r\n"
                        "0\r\n\r\n")},
                 {Get("/")},
                 "0123456789",
                 ""});
    c.push_back(
        {"ChunkSizeWithGluedExtensionEndsTheBody",
         "http://127.0.0.1:{port}/",
         {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\n\r\n")},
         {Get("/")},
         "",
         ""});
    c.push_back({"ChunkSizeBeyond32BitsNeverWraps",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000005\r\nhello\r\n\r\n")},
                 {Get("/")},
                 "",
                 ""});
    c.push_back(
        {"ChunkedTrailersAreConsumed",
         "http://127.0.0.1:{port}/",
         {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nX-T: 1\r\n\r\n")},
         {Get("/")},
         "ab",
         ""});
    c.push_back({"ChunkedCutByClose",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc")},
                 {Get("/")},
                 "abc",
                 "EIdConnClosedGracefully: Connection Closed Gracefully.",
                 true});
    c.push_back({"ContentLengthWinsOverChunked",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n2\r\nab")},
                 {Get("/")},
                 "2\r\na",
                 ""});
    c.push_back({"NoContentReadsNothing",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nabcde", false)},
                 {Get("/")},
                 "",
                 ""});
    for (const char* status : {"304 Not Modified", "404 Not Found", "500 Internal Server Error"}) {
        const std::string line = std::string("HTTP/1.1 ") + status;
        c.push_back({"ErrorReplyCarriesBody",
                     "http://127.0.0.1:{port}/",
                     {Reply(line + "\r\nContent-Length: 7\r\n\r\nthe why")},
                     {Get("/")},
                     "",
                     "EIdHTTPProtocolException: " + line,
                     false,
                     nullptr,
                     [](TIdHTTP&, const Exception* e) {
                         auto* p = dynamic_cast<const EIdHTTPProtocolException*>(e);
                         ASSERT_NE(p, nullptr);
                         EXPECT_EQ(p->ReplyBody, "the why");
                     }});
    }
    c.push_back({"SuccessWithLocationIsARedirect",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nLocation: /x\r\nContent-Length: 2\r\n\r\nok")},
                 {Get("/")},
                 "",
                 "EIdHTTPProtocolException: HTTP/1.1 200 OK",
                 false,
                 nullptr,
                 [](TIdHTTP&, const Exception* e) {
                     auto* p = dynamic_cast<const EIdHTTPProtocolException*>(e);
                     ASSERT_NE(p, nullptr);
                     EXPECT_EQ(p->ReplyCode, 200);
                 }});
    c.push_back({"HeaderLineOverTheLimit",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nX-Big: " + std::string(16384, 'h') + "\r\n\r\n")},
                 {Get("/")},
                 "",
                 "EIdReadLnMaxLineLengthExceeded: Max line length exceeded."});
    c.push_back({"CloseRightAfterStatusLine",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\n")},
                 {Get("/")},
                 "",
                 "EIdConnClosedGracefully: Connection Closed Gracefully."});
    c.push_back({"CloseBeforeStatusLine",
                 "http://127.0.0.1:{port}/",
                 {{S::ReadUntil(RequestEnd), S::Close()}},
                 {Get("/")},
                 "",
                 "EIdConnClosedGracefully: Connection Closed Gracefully."});
    c.push_back({"CloseInsideHeaderBlockOfSuccess",
                 "http://127.0.0.1:{port}/",
                 {Reply("HTTP/1.1 200 OK\r\nServer: x\r\n")},
                 {Get("/")},
                 "",
                 "EIdException: Undefined situation"});
    return c;
}

class WireTest : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

void RunCase(const TWireCase& wire, bool oneBytePerSegment) {
    std::vector<TPeerScript> scripts = wire.Scripts;
    for (auto& script : scripts)
        for (auto& step : script)
            if (step.Kind == TPeerStep::TKind::Send) step.OneBytePerSegment = oneBytePerSegment;
    TScriptedPeer peer(scripts);
    TIdHTTP client;
    if (wire.Setup) wire.Setup(client);
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
    EXPECT_EQ(body.DataString(), wire.Body);
    if (wire.Check) wire.Check(client, caught.get());
    peer.Stop();
    for (size_t k = 0; k < wire.Requests.size(); ++k)
        EXPECT_EQ(peer.Received(k), Replace(wire.Requests[k], peer.Port())) << "connection " << k;
}

} // namespace

TEST_P(WireTest, Case) {
    const auto [index, oneByte] = GetParam();
    const auto cases = Cases();
    const TWireCase& wire = cases.at(index);
    if (oneByte && wire.SegmentSensitive) GTEST_SKIP() << "depends on segmentation";
    SCOPED_TRACE(wire.Name);
    RunCase(wire, oneByte);
}

INSTANTIATE_TEST_SUITE_P(IdHTTP, WireTest,
                         ::testing::Combine(::testing::Range<size_t>(0, Cases().size()), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(Cases().at(std::get<0>(info.param)).Name) + "_" +
                                    std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_OneByteSegments" : "_OnePiece");
                         });
