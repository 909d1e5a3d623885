// HTTP/1.1 pipelining on the wire, case by case: one client fetches /a, /b,
// /c (and /d) in turn, sending the requests still to come ahead whenever
// nothing is outstanding, as the fetching ahead does. Each case names what a
// scripted peer answers on each connection, the exact bytes the client must
// have written there, and what each fetch must give: a pipeline is only sent
// on a connection an HTTP/1.1 reply kept open, and whatever a server leaves
// unanswered (a close, a "Connection: close", an HTTP/1.0 peer) is asked again
// on a new connection, never lost and never taken from the old one.

#include "HttpWireCase.h"

namespace {

using namespace wire;

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Ok10(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Url(const std::string& path) {
    return "http://127.0.0.1:{port}" + path;
}

struct TPipelineCase {
    const char* Name;
    std::vector<std::string> Paths;
    std::vector<TPeerScript> Scripts;
    std::vector<std::string> Requests; // exact bytes per connection
    std::vector<std::string> Outcomes; // per path: its body, or "Class: message"
    std::string Ahead;                 // per path: the requests outstanding when it is fetched
};

std::string Outcome(TIdHTTP& client, const std::string& url) {
    try {
        TMemoryStream body;
        client.FetchToStream(url, body);
        return body.DataString();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
}

// As the fetching ahead does: when nothing is outstanding, the requests of
// every path from k on go out together, as far as the client lets them.
std::vector<std::string> FetchInTurn(TIdHTTP& client, const std::vector<std::string>& urls, std::string& ahead) {
    std::vector<std::string> outcomes;
    for (size_t k = 0; k < urls.size(); ++k) {
        if (client.SentAhead() == 0 && k + 1 < urls.size())
            for (size_t j = k; j < urls.size() && client.SendAhead(urls[j]); ++j) {
            }
        ahead += (k == 0 ? "" : " ") + std::to_string(client.SentAhead());
        outcomes.push_back(Outcome(client, urls[k]));
    }
    return outcomes;
}

const std::string Closed = "EIdConnClosedGracefully: Connection Closed Gracefully.";

std::vector<TPipelineCase> Cases() {
    // The peer answers once it has read that many whole requests (the
    // bytes are checked afterwards, the port being known only then).
    const auto req = [](const char*) { return S::ReadUntil(RequestEnd); };
    const auto reqs = [](int count) {
        std::vector<TPeerStep> steps(static_cast<size_t>(count), S::ReadUntil(RequestEnd));
        return steps;
    };
    const auto then = [](TPeerScript first, const std::vector<TPeerStep>& more, TPeerScript rest) {
        first.insert(first.end(), more.begin(), more.end());
        first.insert(first.end(), rest.begin(), rest.end());
        return first;
    };
    const std::string a = Get("/a"), b = Get("/b"), c = Get("/c"), d = Get("/d");
    return {
        {"PipelinedOnAConnectionAReplyKeptOpen",
         {"/a", "/b", "/c"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(2), {S::Send(Ok("B") + Ok("C")), S::Stall(1500)})},
         {a + b + c},
         {"A", "B", "C"},
         "0 2 1"},
        // The first request left unanswered fails as on any kept connection
        // (the fetching ahead asks it once more); the rest go on a new one.
        {"ClosedAfterTheFirstReplyOfAPipeline",
         {"/a", "/b", "/c", "/d"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(3), {S::Send(Ok("B")), S::Close()}),
          {req("/d"), S::Send(Ok("D")), S::Stall(1500)}},
         {a + b + c + d, d},
         {"A", "B", Closed, "D"},
         "0 3 2 0"},
        {"ClosedBeforeAnyReplyOfAPipeline",
         {"/a", "/b", "/c"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(2), {S::Close()}), {req("/c"), S::Send(Ok("C")), S::Stall(1500)}},
         {a + b + c, c},
         {"A", Closed, "C"},
         "0 2 0"},
        // What follows the reply that closes is not read, even when it looks
        // like the next reply: /d is asked again.
        {"ConnectionCloseMidPipeline",
         {"/a", "/b", "/c", "/d"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(3),
               {S::Send(Ok("B") + Ok("C", "Connection: close\r\n") + Ok("stale")), S::Stall(1500)}),
          {req("/d"), S::Send(Ok("D")), S::Stall(1500)}},
         {a + b + c + d, d},
         {"A", "B", "C", "D"},
         "0 3 2 0"},
        // A refused reply is read by its framing: the pipeline goes on.
        {"RefusedReplyMidPipeline",
         {"/a", "/b", "/c"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(2),
               {S::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone" + Ok("C")), S::Stall(1500)})},
         {a + b + c},
         {"A", "EIdHTTPProtocolException: HTTP/1.1 404 Not Found", "C"},
         "0 2 1"},
        // An HTTP/1.0 peer may close after any reply, whatever it says: its
        // connection is reused, one request at a time, never pipelined.
        {"HTTP10PeerIsAskedOneAtATime",
         {"/a", "/b", "/c"},
         {{req("/a"), S::Send(Ok10("A")), req("/b"), S::Send(Ok10("B")), req("/c"), S::Send(Ok10("C")),
           S::Stall(1500)}},
         {a + b + c},
         {"A", "B", "C"},
         "0 0 0"},
        // A reply that breaks off costs its connection; the requests sent
        // with it go again on a new one.
        {"BrokenReplyMidPipeline",
         {"/a", "/b", "/c"},
         {then({req("/a"), S::Send(Ok("A"))}, reqs(2),
               {S::Send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort"), S::Close()}),
          {req("/c"), S::Send(Ok("C")), S::Stall(1500)}},
         {a + b + c, c},
         {"A", Closed, "C"},
         "0 2 0"},
        // Bytes nobody asked for wait on the kept connection (here a reply too
        // many): read as the next reply they would shift every later one. The
        // connection is retired, whether the next request goes alone or ahead.
        {"UnrequestedReplyRetiresTheConnection",
         {"/a", "/b"},
         {{req("/a"), S::Send(Ok("A") + Ok("A again")), S::Stall(1500)},
          {req("/b"), S::Send(Ok("B")), S::Stall(1500)}},
         {a, b},
         {"A", "B"},
         "0 0"},
        // Some servers end a body with a line end too many: no reply, and no
        // reason to fail the next request over it.
        {"StrayLineEndAfterABody",
         {"/a", "/b"},
         {{req("/a"), S::Send(Ok("A") + "\r\n"), S::Stall(1500)}, {req("/b"), S::Send(Ok("B")), S::Stall(1500)}},
         {a, b},
         {"A", "B"},
         "0 0"},
        {"UnrequestedReplyIsNeverPipelinedBehind",
         {"/a", "/b", "/c"},
         {{req("/a"), S::Send(Ok("A") + Ok("A again")), S::Stall(1500)},
          {req("/b"), S::Send(Ok("B")), req("/c"), S::Send(Ok("C")), S::Stall(1500)}},
         {a, b + c},
         {"A", "B", "C"},
         "0 0 0"},
    };
}

class Pipeline : public ::testing::TestWithParam<TPipelineCase> {};

} // namespace

TEST_P(Pipeline, NothingLostNothingTakenTwice) {
    const TPipelineCase& wire = GetParam();
    TScriptedPeer peer(wire.Scripts);
    std::vector<std::string> urls;
    for (const std::string& path : wire.Paths)
        urls.push_back(Replace(Url(path), peer.Port()));
    std::vector<std::string> outcomes;
    std::string ahead;
    {
        TIdHTTP client;
        client.ReadTimeout = 5000;
        outcomes = FetchInTurn(client, urls, ahead);
    }
    EXPECT_EQ(outcomes, wire.Outcomes);
    EXPECT_EQ(ahead, wire.Ahead);
    peer.Stop();
    EXPECT_EQ(peer.AcceptedCount(), wire.Requests.size());
    for (size_t k = 0; k < wire.Requests.size(); ++k)
        EXPECT_EQ(peer.Received(k), Replace(wire.Requests[k], peer.Port())) << "connection " << k;
}

INSTANTIATE_TEST_SUITE_P(IdHTTP, Pipeline, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TPipelineCase>& info) { return info.param.Name; });

namespace {

// The request sent ahead is a plain GET; the one the caller then runs for its
// address may have changed since (a range, a condition, another method).
struct TChangedCase {
    const char* Name;
    std::function<void(TIdHTTP&, const std::string& url)> Change;
    TIdHTTPMethod Method;
    std::vector<std::string> Requests; // exact bytes per connection
    std::string Outcome;
};

std::vector<TChangedCase> ChangedCases() {
    const std::string a = Get("/a"), b = Get("/b");
    const auto none = [](TIdHTTP&, const std::string&) {};
    return {
        {"TheSameRequestIsTakenFromThePipeline", none, hmGet, {a + b}, "B"},
        {"ARangeAddedAfterwardsGoesOnANewConnection",
         [](TIdHTTP& client, const std::string&) { client.Request().ContentRangeStart = 5; },
         hmGet,
         {a + b, Get("/b", "Range: bytes=5-\r\n")},
         "fresh"},
        {"AHeaderLineAddedAfterwardsGoesOnANewConnection",
         [](TIdHTTP& client, const std::string&) { client.Request().CustomHeaders.Add("If-None-Match: \"v\""); },
         hmGet,
         {a + b,
          "GET /b HTTP/1.1\r\nContent-Type: text/html\r\nIf-None-Match: \"v\"\r\nHost: 127.0.0.1:{port}\r\n"
          "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n\r\n"},
         "fresh"},
        // The GET's reply would be read as the HEAD's, and its body as the next reply.
        {"AHeadOfTheAddressGoesOnANewConnection",
         none,
         hmHead,
         {a + b,
          "HEAD /b HTTP/1.1\r\nContent-Type: text/html\r\nHost: 127.0.0.1:{port}\r\n"
          "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Quillora Library)\r\n\r\n"},
         ""},
    };
}

class ChangedAfterSending : public ::testing::TestWithParam<TChangedCase> {};

} // namespace

TEST_P(ChangedAfterSending, IsAskedAgainNeverReadFromThePipeline) {
    const TChangedCase& c = GetParam();
    const std::string fresh = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh";
    TScriptedPeer peer({{S::ReadUntil(RequestEnd), S::Send(Ok("A")), S::ReadUntil(RequestEnd), S::Send(Ok("B")),
                         S::Stall(1500)},
                        {S::ReadUntil(RequestEnd), S::Send(c.Method == hmHead ? Ok("") : fresh), S::Stall(1500)}});
    const std::string urlA = Replace(Url("/a"), peer.Port()), urlB = Replace(Url("/b"), peer.Port());
    std::string outcome;
    {
        TIdHTTP client;
        client.ReadTimeout = 5000;
        EXPECT_EQ(Outcome(client, urlA), "A");
        ASSERT_TRUE(client.SendAhead(urlB));
        c.Change(client, urlB);
        TMemoryStream body;
        client.RunRequest(c.Method, urlB, nullptr, &body);
        outcome = body.DataString();
    }
    EXPECT_EQ(outcome, c.Outcome);
    peer.Stop();
    (void)peer.Failures(); // the second connection is not made when the request is taken
    ASSERT_EQ(peer.AcceptedCount(), c.Requests.size());
    for (size_t k = 0; k < c.Requests.size(); ++k)
        EXPECT_EQ(peer.Received(k), Replace(c.Requests[k], peer.Port())) << "connection " << k;
}

INSTANTIATE_TEST_SUITE_P(IdHTTP, ChangedAfterSending, ::testing::ValuesIn(ChangedCases()),
                         [](const ::testing::TestParamInfo<TChangedCase>& info) { return info.param.Name; });
