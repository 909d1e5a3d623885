#include "NetTestUtil.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

std::vector<std::string>* StatusLog(TIdTCPClient& client, std::vector<std::string>& log) {
    client.OnStatus = [&log](TIdComponent*, TIdStatus, const std::string& text) { log.push_back(text); };
    return &log;
}

using Clock = std::chrono::steady_clock;

} // namespace

TEST(Client, StatusForADottedQuad) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    TIdTCPClient client;
    std::vector<std::string> log;
    StatusLog(client, log);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.Connect();
    client.Disconnect();
    EXPECT_EQ(log, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected.", "Disconnecting.",
                                             "Disconnected."}));
}

TEST(Client, StatusForLocalhost) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    TIdTCPClient client;
    std::vector<std::string> log;
    StatusLog(client, log);
    client.Host = "LocalHost";
    client.Port = peer.Port();
    client.Connect();
    EXPECT_EQ(log, (std::vector<std::string>{"Resolving hostname LocalHost.", "Connecting to 127.0.0.1.",
                                             "Connected."}));
    auto* binding = static_cast<TIdIOHandlerSocket*>(client.IOHandler())->Binding();
    EXPECT_EQ(binding->PeerIP, "127.0.0.1");
    EXPECT_EQ(binding->PeerPort, peer.Port());
    EXPECT_EQ(binding->IP, "127.0.0.1");
    EXPECT_GT(binding->Port, 0);
}

TEST(Client, RefusedThenConnectAgain) {
    TScriptedPeer peer({TPeerStep::Send("hello\n"), TPeerStep::Stall(5000)});
    TIdTCPClient client;
    std::vector<std::string> log;
    StatusLog(client, log);
    int disconnects = 0;
    client.OnDisconnected = [&](TIdComponent*) { ++disconnects; };
    client.Host = "127.0.0.1";
    client.Port = ClosedLoopbackPort();
    try {
        client.Connect();
        FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber, 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(log.back(), "Connecting to 127.0.0.1.");
    TIdIOHandler* kept = client.IOHandler();
    ASSERT_NE(kept, nullptr);
    client.Port = peer.Port();
    client.Connect();
    EXPECT_EQ(client.IOHandler(), kept);
    EXPECT_EQ(client.ReadLn(), "hello");
}

TEST(Client, AlreadyConnected) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    EXPECT_EQ(Raised([&] { client->Connect(); }), "EIdAlreadyConnected: Already connected.");
    EXPECT_TRUE(client->Connected());
}

TEST(Client, ConnectEmptiesWhatAnEarlierConnectionLeft) {
    TScriptedPeer peer({{TPeerStep::Send("stale"), TPeerStep::Close()},
                        {TPeerStep::Send("fresh\n"), TPeerStep::Stall(5000)}});
    auto client = ConnectedClient(peer);
    EXPECT_EQ(client->ReadLn(), "");
    EXPECT_TRUE(client->LastLineUnfinished);
    client->Disconnect();
    EXPECT_EQ(client->InputQueue().ToString(), "stale");
    client->Connect();
    EXPECT_EQ(client->ReadLn(), "fresh");
}

TEST(Client, TimedConnectThatNeverCompletes) {
    TFullBacklogListener listener;
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = listener.Port();
    auto start = Clock::now();
    EXPECT_EQ(Raised([&] { client.Connect(300); }), "EIdConnectTimeout: Connect timed out.");
    // Only a lower bound: a connect that ignored its time-out would wait for
    // the kernel's SYN retries (over two minutes) and the test's time-out.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_FALSE(client.Connected());
}

TEST(Client, TimedConnectRefused) {
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = ClosedLoopbackPort();
    EXPECT_EQ(Raised([&] { client.Connect(1000); }),
              "EIdConnectException: Socket Error # 10061\r\nConnection refused.");
    EXPECT_FALSE(client.Connected());
}

TEST(Client, TimedConnectThatSucceeds) {
    TScriptedPeer peer({{TPeerStep::Send("one\n"), TPeerStep::Stall(5000)},
                        {TPeerStep::Send("two\n"), TPeerStep::Stall(5000)}});
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.Connect(2000);
    EXPECT_EQ(client.ReadLn(), "one");
    client.Disconnect();
    client.Connect(-2);
    EXPECT_EQ(client.ReadLn(), "two");
}

TEST(Client, NagleOffAndBoundRange) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    TIdTCPClient client;
    auto* handler = new TIdIOHandlerSocket;
    handler->UseNagle = false;
    client.SetIOHandler(handler);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.BoundIP = "127.0.0.1";
    int top = ClosedLoopbackPort();
    client.BoundPortLow = top - 3;
    client.BoundPortHigh = top;
    client.Connect();
    int on = 0;
    socklen_t length = sizeof(on);
    ASSERT_EQ(::getsockopt(handler->Binding()->Handle(), IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_EQ(on, 1);
    EXPECT_GE(handler->Binding()->Port, top - 3);
    EXPECT_LE(handler->Binding()->Port, top);
    client.Disconnect();
    // Not owned: still assigned after Disconnect; destroying it elsewhere makes the client forget it.
    EXPECT_EQ(client.IOHandler(), handler);
    delete handler;
    EXPECT_EQ(client.IOHandler(), nullptr);
}

TEST(Client, DisconnectWithoutAConnection) {
    TIdTCPClient client;
    std::vector<std::string> log;
    StatusLog(client, log);
    int disconnects = 0;
    client.OnDisconnected = [&](TIdComponent*) { ++disconnects; };
    client.Disconnect();
    EXPECT_EQ(log, (std::vector<std::string>{"Disconnecting.", "Disconnected."}));
    EXPECT_EQ(disconnects, 1);
}

TEST(Client, ConnectAndGetAll) {
    TScriptedPeer peer({TPeerStep::Send("all of it"), TPeerStep::Close()});
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    EXPECT_EQ(client.ConnectAndGetAll(), "all of it");
    EXPECT_EQ(client.IOHandler(), nullptr);
}

TEST(Client, ClosedHandlerRefusesRawIo) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    TIdIOHandler* handler = client->IOHandler();
    client->DropSocket();
    char byte = 0;
    EXPECT_EQ(Raised([&] { handler->ReceiveRaw(&byte, 1); }), "EIdClosedSocket: Disconnected.");
    EXPECT_EQ(Raised([&] { handler->SendRaw(&byte, 1); }), "EIdClosedSocket: Disconnected.");
    EXPECT_EQ(Raised([&] { client->ReadLn(); }), "EIdConnClosedGracefully: Connection Closed Gracefully.");
}

TEST(Client, UnknownHostBeforeAnyConnect) {
    TIdTCPClient client;
    client.Host = std::string("bad\0name", 8);
    client.Port = 80;
    std::vector<std::string> log;
    StatusLog(client, log);
    EXPECT_EQ(Raised([&] { client.Connect(); }), "EIdSocketError: Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(log.size(), 1u); // "Resolving hostname ..." and nothing after it
    EXPECT_FALSE(client.Connected());
}

TEST(Client, SocksInfoDefaultsAndAVersionThatIsNotBuilt) {
    TScriptedPeer peer({TPeerStep::Stall(5000)});
    TIdTCPClient client;
    auto* handler = new TIdIOHandlerSocket;
    client.SetIOHandler(handler);
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    TIdSocksInfo& info = handler->SocksInfo();
    EXPECT_EQ(&info, &handler->SocksInfo());
    EXPECT_EQ(info.Version, svNoSocks);
    EXPECT_EQ(info.Port, 1080);
    EXPECT_EQ(info.Authentication, saNoAuthentication);
    client.Connect(); // svNoSocks: straight to the host
    client.Disconnect();

    // A SOCKS server that is never spoken to must not silently become the peer,
    // nor be bypassed: the connect fails before any socket is opened.
    TIdSocksInfo external;
    external.Version = svSocks5;
    external.Host = "127.0.0.1";
    external.Port = peer.Port();
    handler->SetSocksInfo(&external);
    EXPECT_EQ(Raised([&] { client.Connect(); }),
              "EIdSocksError: SOCKS proxies are not supported: set the SOCKS version to none.");
    EXPECT_FALSE(client.Connected());
    external.Version = svNoSocks;
    client.Connect();
    EXPECT_TRUE(client.Connected());
    client.Disconnect();
    delete handler;
}
