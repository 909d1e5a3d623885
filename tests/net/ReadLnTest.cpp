#include "NetTestUtil.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

#include <chrono>

namespace {

// What one ReadLn call must give: a line, a line flagged split or
// unfinished, or an exception ("EIdConnClosedGracefully", ...).
struct TOutcome {
    std::string Line;
    std::string Raises;
    bool Split = false;
    bool Unfinished = false;
};

TOutcome Line(std::string text) {
    return {std::move(text), "", false, false};
}
TOutcome SplitLine(std::string text) {
    return {std::move(text), "", true, false};
}
TOutcome Unfinished() {
    return {"", "", false, true};
}
TOutcome Raises(std::string className) {
    return {"", std::move(className), false, false};
}

struct TReadLnCase {
    const char* Name;
    std::string Wire;
    bool CloseAfter; // else the peer stays silent
    std::string Terminator;
    TIdMaxLineAction Action;
    std::vector<TOutcome> Calls;
    size_t LeftQueued;
};

const std::string Long16384(16384, 'x');

std::vector<TReadLnCase> Cases() {
    return {
        {"crlf, lf, empty",
         "abc\r\ndef\n\r\n",
         true,
         "",
         maException,
         {Line("abc"), Line("def"), Line(""), Raises("EIdConnClosedGracefully")},
         0},
        {"cr inside a line stays",
         "a\rb\n",
         true,
         "",
         maException,
         {Line("a\rb"), Raises("EIdConnClosedGracefully")},
         0},
        {"unterminated tail",
         "one\npartial",
         true,
         "",
         maException,
         {Line("one"), Unfinished(), Raises("EIdConnClosedGracefully")},
         7},
        {"custom terminator",
         "a\nb\r\nc\r\n",
         true,
         "\r\n",
         maException,
         {Line("a\nb"), Line("c"), Raises("EIdConnClosedGracefully")},
         0},
        {"multi-byte terminator",
         "xxEENDyyEND",
         true,
         "END",
         maException,
         {Line("xxE"), Line("yy"), Raises("EIdConnClosedGracefully")},
         0},
        {"cr before a custom terminator stays", "a\r;", true, ";", maException, {Line("a\r")}, 0},
        {"exactly the maximum before lf",
         Long16384 + "\nz\n",
         true,
         "",
         maException,
         {Line(Long16384), Line("z")},
         0},
        {"the cr counts",
         Long16384 + "\r\n",
         true,
         "",
         maException,
         {Raises("EIdReadLnMaxLineLengthExceeded")},
         16386},
        {"too long without a terminator yet",
         Long16384 + "y",
         false,
         "",
         maException,
         {Raises("EIdReadLnMaxLineLengthExceeded")},
         16385},
        {"split",
         Long16384 + "xyz\n",
         true,
         "",
         maSplit,
         {SplitLine(Long16384), Line("xyz"), Raises("EIdConnClosedGracefully")},
         0},
    };
}

void RunCase(const TReadLnCase& c, bool oneBytePerSegment) {
    TPeerScript script{TPeerStep::Send(c.Wire, oneBytePerSegment)};
    script.push_back(c.CloseAfter ? TPeerStep::Close() : TPeerStep::Stall(5000));
    TScriptedPeer peer(script);
    auto client = ConnectedClient(peer);
    client->MaxLineAction = c.Action;
    for (size_t i = 0; i < c.Calls.size(); ++i) {
        const TOutcome& want = c.Calls[i];
        std::string got;
        std::string raised = Raised([&] { got = client->ReadLn(c.Terminator); });
        if (!want.Raises.empty()) {
            EXPECT_EQ(raised.substr(0, raised.find(':')), want.Raises) << c.Name << " call " << i;
            continue;
        }
        ASSERT_EQ(raised, "") << c.Name << " call " << i;
        EXPECT_EQ(got, want.Line) << c.Name << " call " << i;
        EXPECT_EQ(client->LastLineSplit, want.Split) << c.Name << " call " << i;
        EXPECT_EQ(client->LastLineUnfinished, want.Unfinished) << c.Name << " call " << i;
    }
    EXPECT_EQ(client->InputQueue().Size(), static_cast<int32_t>(c.LeftQueued)) << c.Name;
}

// Counts the socket reads under a connection.
class TCountingIOHandler : public TIdIOHandlerSocket {
  public:
    int Receives = 0;
    int ReceiveRaw(void* buffer, int length) override {
        ++Receives;
        return TIdIOHandlerSocket::ReceiveRaw(buffer, length);
    }
};

} // namespace

TEST(ReadLn, WholeSegments) {
    for (const auto& c : Cases())
        RunCase(c, false);
}

TEST(ReadLn, OneBytePerSegmentGivesTheSameResults) {
    for (const auto& c : Cases())
        if (c.Wire.size() < 100) RunCase(c, true);
}

TEST(ReadLn, TwoLinesFromOneSocketRead) {
    TScriptedPeer peer({TPeerStep::Send("first\r\nsecond\r\n"), TPeerStep::Stall(5000)});
    TIdTCPClient client;
    TCountingIOHandler handler;
    client.SetIOHandler(&handler);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.Connect();
    // Both lines must be queued before the first ReadLn for one read to do.
    while (client.InputQueue().Size() < 15)
        client.FillInputQueue();
    int before = handler.Receives;
    EXPECT_EQ(client.ReadLn(), "first");
    EXPECT_EQ(client.ReadLn(), "second");
    EXPECT_EQ(handler.Receives, before);
    client.Disconnect();
}

TEST(ReadLn, PeerCloseIsReportedOnceDuringTheRead) {
    TScriptedPeer peer({TPeerStep::Send("line\n"), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    std::vector<std::string> statuses;
    int disconnects = 0;
    client->OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) { statuses.push_back(text); };
    client->OnDisconnected = [&](TIdComponent*) { ++disconnects; };
    EXPECT_EQ(client->ReadLn(), "line");
    EXPECT_THROW(client->ReadLn(), EIdConnClosedGracefully);
    EXPECT_EQ(statuses, std::vector<std::string>{"Disconnected."});
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(client->Connected());
    EXPECT_THROW(client->ReadLn(), EIdConnClosedGracefully);
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(disconnects, 1);
}

TEST(ReadLn, ReadTimeoutRaises) {
    TScriptedPeer peer({TPeerStep::Send("no end"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    client->ReadTimeout = 100;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised([&] { client->ReadLn(); }), "EIdReadTimeout: Read Timeout");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    // What arrived stays queued for the next read.
    EXPECT_EQ(client->InputQueue().ToString(), "no end");
}

TEST(ReadLn, ExplicitTimeoutNeverEndsIt) {
    TScriptedPeer peer({TPeerStep::Pause(450), TPeerStep::Send("late\n"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    client->ReadTimeout = 50; // not used: the time-out is given
    EXPECT_EQ(client->ReadLn("", 100), "late");
}

TEST(ReadLn, WithoutAConnection) {
    TIdTCPClient client;
    EXPECT_EQ(Raised([&] { client.ReadLn(); }), "EIdNotConnected: Not Connected");
}
