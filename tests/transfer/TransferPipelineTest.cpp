// The engine's pipelining on the wire, case by case: one worker fetches the
// pictures a, b, c, d through a scripted proxy, sending the request of the
// picture it takes next before the current reply is read, once a reply has
// kept the connection open. Each case names what the peer answers on each
// connection, the requests it must have read there, in order, and what each
// picture became: whatever a server leaves unanswered (a close, a
// "Connection: close", an HTTP/1.0 peer) is asked again, once, on a new
// connection; no picture is lost, none is written from another's reply,
// and nothing is left beside the pictures.

#include "core/Gbk.h"
#include "http/ClientSettings.h"
#include "support/ScriptedPeer.h"
#include "transfer/PartFile.h"
#include "transfer/TransferPool.h"
#include "transfer/WireScratch.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using S = TPeerStep;

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Ok10(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

const std::string Busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy";
const std::string Unchanged = "HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n";

S Request() {
    return S::ReadUntil("\r\n\r\n");
}

struct TPipelineCase {
    const char* Name;
    std::vector<TPeerScript> Scripts;
    std::vector<std::string> Requests; // per connection: the pictures asked for, in order
    std::vector<std::string> Outcomes; // per picture: "saved <body>", or its outcome and message
    std::vector<int> Attempts;
    bool RecordedC = false; // c is a picture of the record, asked for with its ETag
};

std::vector<TPipelineCase> Cases() {
    const S stall = S::Stall(3000);
    return {
        {"PipelinedOnAConnectionAReplyKeptOpen",
         {{Request(), S::Send(Ok("A")), Request(), Request(), S::Send(Ok("B") + Ok("C")), Request(),
           S::Send(Ok("D")), stall}},
         {"a b c d"},
         {"saved A", "saved B", "saved C", "saved D"},
         {1, 1, 1, 1}},
        // c's request, left unanswered, is asked again on a new connection
        // without spending an attempt.
        {"ClosedAfterTheFirstReplyOfAPipeline",
         {{Request(), S::Send(Ok("A")), Request(), Request(), S::Send(Ok("B")), S::Close()},
          {Request(), S::Send(Ok("C")), Request(), S::Send(Ok("D")), stall}},
         {"a b c", "c d"},
         {"saved A", "saved B", "saved C", "saved D"},
         {1, 1, 1, 1}},
        // What follows the reply that closes is never read as c's.
        {"ConnectionCloseMidPipeline",
         {{Request(), S::Send(Ok("A")), Request(), Request(),
           S::Send(Ok("B", "Connection: close\r\n") + Ok("stale")), stall},
          {Request(), S::Send(Ok("C")), Request(), S::Send(Ok("D")), stall}},
         {"a b c", "c d"},
         {"saved A", "saved B", "saved C", "saved D"},
         {1, 1, 1, 1}},
        // An HTTP/1.0 peer may close after any reply: one request at a time.
        {"HTTP10PeerIsAskedOneAtATime",
         {{Request(), S::Send(Ok10("A")), Request(), S::Send(Ok10("B")), Request(), S::Send(Ok10("C")), Request(),
           S::Send(Ok10("D")), stall}},
         {"a b c d"},
         {"saved A", "saved B", "saved C", "saved D"},
         {1, 1, 1, 1}},
        // The server has c's request already: its reply is read while b
        // waits for its retry, which then goes out alone.
        {"RefusedReplyMidPipelineIsRetriedAfterTheNext",
         {{Request(), S::Send(Ok("A")), Request(), Request(), S::Send(Busy + Ok("C")), Request(),
           S::Send(Ok("B")), Request(), S::Send(Ok("D")), stall}},
         {"a b c b d"},
         {"saved A", "saved B", "saved C", "saved D"},
         {1, 2, 1, 1}},
        // A conditional request is no plain GET: it never goes ahead, and
        // takes no plain GET's reply.
        {"AConditionalRequestGoesAlone",
         {{Request(), S::Send(Ok("A")), Request(), S::Send(Ok("B")), Request(), S::Send(Unchanged), Request(),
           S::Send(Ok("D")), stall}},
         {"a b c d"},
         {"saved A", "saved B", "skipped: unchanged on the server", "saved D"},
         {1, 1, 1, 1},
         true},
    };
}

class TNoEvents : public TTransferEvents {
  public:
    void Begin(int) override {}
    void JobStarted(int, size_t) override {}
    void JobFinished(int, size_t) override {}
    void Bytes(int, int64_t) override {}
    void Note(const TPictureJob&, const std::string&) override {}
    void RecordFailed(const std::string&) override {}
    void Tick() override {}
    void End() override {}
};

// The pictures asked for on one connection, by their last letter, in order.
std::string AskedFor(const std::string& received) {
    std::string asked;
    for (size_t at = received.find("GET "); at != std::string::npos; at = received.find("GET ", at + 1)) {
        const size_t end = received.find(" HTTP/1.1\r\n", at);
        if (end == std::string::npos) break;
        asked += (asked.empty() ? "" : " ") + received.substr(end - 1, 1);
    }
    return asked;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TransferPipeline : public TWireScratch<::testing::TestWithParam<TPipelineCase>> {
  protected:
    TransferPipeline() : TWireScratch("quillora-pipeline") {}
};

std::string OutcomeOf(const TPictureJob& job, const fs::path& file) {
    if (job.Outcome == TOutcome::Saved) return "saved " + ReadAll(file);
    return OutcomeName(job.Outcome) + (job.Message.empty() ? std::string() : ": " + job.Message);
}

} // namespace

TEST_P(TransferPipeline, NothingLostNothingFetchedTwiceIntoAFile) {
    const TPipelineCase& c = GetParam();
    TScriptedPeer peer(c.Scripts);
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(peer.Port())).c_str(), 1);
    std::vector<TPictureJob> jobs;
    for (const char* name : {"a", "b", "c", "d"}) {
        TPictureJob& job = jobs.emplace_back();
        job.Url = std::string("http://pics.test/") + name;
        job.Path = FileNameToGbk((Folder / name).string());
        job.PartPath = PartPathFor(job.Path);
    }
    if (c.RecordedC) {
        jobs[2].Recorded = true;
        jobs[2].IfNoneMatch = "\"c1\"";
    }
    TTransferOptions options;
    options.Jobs = 1;
    options.BackoffMs = 10;
    const std::atomic<bool> stop{false};
    TNoEvents events;
    RunTransfers(jobs, options, nullptr, stop, events);
    std::vector<std::string> outcomes;
    std::vector<int> attempts;
    for (size_t k = 0; k < jobs.size(); ++k) {
        outcomes.push_back(OutcomeOf(jobs[k], Folder / std::string(1, static_cast<char>('a' + k))));
        attempts.push_back(jobs[k].Attempts);
    }
    EXPECT_EQ(outcomes, c.Outcomes);
    EXPECT_EQ(attempts, c.Attempts);
    peer.Stop();
    ASSERT_EQ(peer.AcceptedCount(), c.Requests.size());
    for (size_t k = 0; k < c.Requests.size(); ++k)
        EXPECT_EQ(AskedFor(peer.Received(k)), c.Requests[k]) << "connection " << k;
    if (c.RecordedC) {
        EXPECT_NE(peer.Received(0).find("If-None-Match: \"c1\"\r\n"), std::string::npos);
    }
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(Folder)) {
        EXPECT_FALSE(IsPartFileName(entry.path().filename().string())) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, c.RecordedC ? 3u : 4u);
}

INSTANTIATE_TEST_SUITE_P(Engine, TransferPipeline, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TPipelineCase>& info) { return info.param.Name; });
