#include "NetTestUtil.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

namespace {

class TCountingSends : public TIdIOHandlerSocket {
  public:
    std::vector<int> Sends;
    int SendRaw(const void* buffer, int length) override {
        int n = TIdIOHandlerSocket::SendRaw(buffer, length);
        Sends.push_back(n);
        return n;
    }
};

struct TCountedClient {
    explicit TCountedClient(const TScriptedPeer& peer) {
        Client.SetIOHandler(&Handler);
        Client.Host = "127.0.0.1";
        Client.Port = peer.Port();
        Client.Connect();
    }
    ~TCountedClient() { Client.Disconnect(); }
    TCountingSends Handler;
    TIdTCPClient Client;
};

} // namespace

TEST(Write, BatchGoesOutInOneSend) {
    TScriptedPeer peer({TPeerStep::Expect("GET / HTTP/1.1\r\nHost: a\r\n\r\n"), TPeerStep::Close()});
    TCountedClient c(peer);
    c.Client.BeginWriteBatch();
    c.Client.WriteLine("GET / HTTP/1.1");
    c.Client.WriteLine("Host: a");
    c.Client.WriteLine();
    EXPECT_TRUE(c.Handler.Sends.empty());
    c.Client.EndWriteBatch();
    EXPECT_EQ(c.Handler.Sends, std::vector<int>{27});
    EXPECT_EQ(c.Client.WriteBatch(), nullptr);
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(Write, BatchThresholdFlushesWholeThresholds) {
    TScriptedPeer peer({TPeerStep::ReadBytes(25), TPeerStep::Close()});
    TCountedClient c(peer);
    c.Client.BeginWriteBatch(10);
    c.Client.WriteText("0123456");       // 7: kept
    c.Client.WriteText("789abcdefghij"); // 20: one threshold sent, 10 kept
    EXPECT_EQ(c.Handler.Sends, std::vector<int>{10});
    c.Client.WriteText("klmno"); // 15: another 10 out
    c.Client.EndWriteBatch();
    EXPECT_EQ(c.Handler.Sends, (std::vector<int>{10, 10, 5}));
    EXPECT_EQ(peer.Received(), "0123456789abcdefghijklmno");
}

TEST(Write, DiscardedBatchSendsNothing) {
    TScriptedPeer peer({TPeerStep::ReadToClose()});
    TCountedClient c(peer);
    c.Client.BeginWriteBatch();
    c.Client.WriteText("never");
    c.Client.DiscardWriteBatch();
    c.Client.EndWriteBatch();
    EXPECT_TRUE(c.Handler.Sends.empty());
}

TEST(Write, FromStreamInPiecesWithWork) {
    std::string body(70000, 'q');
    TScriptedPeer peer({TPeerStep::ReadBytes(70000), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    std::vector<std::string> events;
    client->OnWorkBegin = [&](TIdComponent*, TWorkMode, int32_t max) {
        events.push_back("begin " + std::to_string(max));
    };
    client->OnWorkEnd = [&](TIdComponent*, TWorkMode) { events.push_back("end"); };
    int32_t last = 0;
    client->OnWork = [&](TIdComponent*, TWorkMode mode, int32_t count) {
        EXPECT_EQ(mode, wmWrite);
        EXPECT_GT(count, last);
        last = count;
    };
    TStringStream stream(body);
    stream.SetPosition(123);
    client->WriteFromStream(stream); // all: from the start
    EXPECT_EQ(events, (std::vector<std::string>{"begin 70000", "end"}));
    EXPECT_EQ(last, 70000);
    EXPECT_TRUE(peer.Received() == body);
}

TEST(Write, FromStreamThatEndsEarly) {
    TScriptedPeer peer({TPeerStep::ReadToClose()});
    auto client = ConnectedClient(peer);
    int ends = 0;
    client->OnWorkEnd = [&](TIdComponent*, TWorkMode) { ++ends; };
    TStringStream stream("12345");
    stream.SetPosition(0);
    EXPECT_EQ(Raised([&] { client->WriteFromStream(stream, false, true, 10); }),
              "EIdNoDataToRead: No data to read.");
    EXPECT_EQ(ends, 1);
    client->Disconnect();
    EXPECT_EQ(peer.Received(), std::string("\0\0\0\x0a", 4) + "12345");
}

TEST(Write, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    TScriptedPeer peer({TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    ASSERT_TRUE(peer.WaitDone());
    std::string block(65536, 'z');
    std::string raised = Raised([&] {
        for (int i = 0; i < 1000; ++i)
            client->WriteBytes(block.data(), static_cast<int32_t>(block.size()));
    });
    EXPECT_TRUE(raised == "EIdSocketError: Socket Error # 10054\r\nConnection reset by peer." ||
                raised == "EIdConnClosedGracefully: Connection Closed Gracefully.")
        << raised;
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(Raised([&] { client->WriteText("x"); }),
              "EIdConnClosedGracefully: Connection Closed Gracefully.");
}

TEST(Write, BatchIsFreedWhenItsFlushFails) {
    TIdTCPClient client;
    client.BeginWriteBatch();
    EXPECT_EQ(Raised([&] { client.WriteText("x"); }), "EIdNotConnected: Not Connected");
    EXPECT_NE(client.WriteBatch(), nullptr);
    EXPECT_EQ(client.WriteBatch()->Size(), 0);
    client.WriteText(""); // nothing to write, nothing raised
}
