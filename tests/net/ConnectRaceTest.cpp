// The race of a host's addresses on this machine's two loopback addresses:
// an address whose accept queue is full stands for one whose SYNs are
// dropped, a port with no listener for one that refuses. The name is looked
// up by a stand-in, so no name is ever really resolved.
#include "NetTestUtil.h"
#include "net/IdCancelSignal.h"
#include "net/IdConnectRace.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdResolver.h"
#include "support/LoopbackListener.h"
#include "support/Watchdog.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <netdb.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ConnectRaceTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLookupFunction(nullptr); }

    // race.test has these addresses, in this order.
    static void Answer(std::vector<std::string> addresses) {
        SetLookupFunction([addresses](const std::string& host) {
            TIdLookupAnswer answer;
            if (host == "race.test")
                answer.Addresses = addresses;
            else
                answer.Code = EAI_NONAME;
            return answer;
        });
    }

    // A client of race.test:port whose status lines go to Log.
    std::unique_ptr<TIdTCPClient> Client(int port) {
        auto client = std::make_unique<TIdTCPClient>();
        client->Host = "race.test";
        client->Port = port;
        client->OnStatus = [this](TIdComponent*, TIdStatus, const std::string& text) { Log.push_back(text); };
        return client;
    }

    static TIdSocketHandle& Binding(TIdTCPClient& client) {
        return *static_cast<TIdIOHandlerSocket*>(client.IOHandler())->Binding();
    }

    std::vector<std::string> Log;
};

// A listener on working and a full one on stalled, on one port; nullptr when
// that port is taken on the second address.
struct TPair {
    std::unique_ptr<TLoopbackListener> Working, Stalled;
};

TPair StalledAndWorking(const std::string& stalled, const std::string& working) {
    // A port free on one address may be a client's on the other: try a few.
    for (int tries = 0; tries < 10; ++tries) {
        TPair pair;
        pair.Working = std::make_unique<TLoopbackListener>(working);
        try {
            pair.Stalled = std::make_unique<TLoopbackListener>(stalled, pair.Working->Port());
        } catch (const std::runtime_error&) {
            continue;
        }
        pair.Stalled->Fill();
        return pair;
    }
    return {};
}

} // namespace

TEST_F(ConnectRaceTest, AnIPv6LiteralIsConnectedWithoutALookup) {
    TLoopbackListener listener("::1");
    for (const char* host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        SCOPED_TRACE(host);
        Log.clear();
        auto client = Client(listener.Port());
        client->Host = host;
        client->Connect();
        EXPECT_EQ(Log,
                  (std::vector<std::string>{
                      std::string("Connecting to ") + (host[0] == '[' ? "::1" : host) + ".", "Connected."}));
        const TIdSocketHandle& binding = Binding(*client);
        EXPECT_EQ(binding.PeerIP, "::1");
        EXPECT_EQ(binding.PeerPort, listener.Port());
        EXPECT_EQ(binding.IP, "::1");
        EXPECT_EQ(binding.Family, Id_PF_INET6);
        EXPECT_EQ(TIdStack::AddressWithPort(binding.PeerIP, binding.PeerPort),
                  "[::1]:" + std::to_string(listener.Port()));
        client->Disconnect();
    }
}

// The first address stalls; the second is started after the attempt delay
// and wins, whichever family comes first; the stalled attempt is closed.
TEST_F(ConnectRaceTest, AStalledFirstAddressLosesToTheNextAfterTheDelay) {
    const std::pair<const char*, const char*> cases[] = {{"::1", "127.0.0.1"}, {"127.0.0.1", "::1"}};
    for (const auto& [stalled, working] : cases) {
        for (const int timeout : {-1, 5000}) {
            SCOPED_TRACE(std::string(stalled) + " stalls, timeout " + std::to_string(timeout));
            TPair pair = StalledAndWorking(stalled, working);
            if (!pair.Working) GTEST_SKIP() << "the port is taken on " << stalled;
            Answer({stalled, working});
            Log.clear();
            const int before = OpenDescriptors();
            auto client = Client(pair.Working->Port());
            const auto start = Clock::now();
            client->Connect(timeout);
            const long long took = MillisecondsSince(start);
            std::printf("fallback from a stalled %s to %s: %lld ms\n", stalled, working, took);
            EXPECT_GE(took, TIdConnectRace::AttemptDelay - 10);
            EXPECT_LT(took, 10000);
            EXPECT_EQ(Log, (std::vector<std::string>{
                               "Resolving hostname race.test.", std::string("Connecting to ") + stalled + ".",
                               std::string("Connecting to ") + working + ".", "Connected."}));
            EXPECT_EQ(Binding(*client).PeerIP, working);
            // The winner's socket is the only one left of the race.
            EXPECT_EQ(OpenDescriptors(), before + 1);
            client->Disconnect();
            EXPECT_EQ(OpenDescriptors(), before);
        }
    }
}

// The first attempt may still win after the next one has started: then it is
// named once more before "Connected.", and the later attempt is closed.
TEST_F(ConnectRaceTest, AnEarlierAttemptThatOvertakesALaterOne) {
    TPair pair = StalledAndWorking("::1", "127.0.0.1");
    if (!pair.Working) GTEST_SKIP() << "the port is taken on ::1";
    pair.Working->Fill();
    Answer({"127.0.0.1", "::1"});
    auto client = Client(pair.Working->Port());
    // Counted while both attempts are under way (the stalled one's next SYN
    // comes a second after its first).
    int duringRace = 0;
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(TIdConnectRace::AttemptDelay + 150));
        pair.Working->Drain();
        duringRace = OpenDescriptors();
    });
    const auto start = Clock::now();
    client->Connect(20000);
    drain.join();
    std::printf("the first attempt won after %lld ms\n", MillisecondsSince(start));
    EXPECT_EQ(Log,
              (std::vector<std::string>{"Resolving hostname race.test.", "Connecting to 127.0.0.1.",
                                        "Connecting to ::1.", "Connecting to 127.0.0.1.", "Connected."}));
    EXPECT_EQ(Binding(*client).PeerIP, "127.0.0.1");
    EXPECT_EQ(OpenDescriptors(), duringRace - 1);
    client->Disconnect();
    EXPECT_EQ(OpenDescriptors(), duringRace - 2);
}

// A refusal is an answer: the next address is tried at once, and the
// refusal is what is reported when no address is left.
TEST_F(ConnectRaceTest, RefusalsAcrossBothFamilies) {
    auto v4 = std::make_unique<TLoopbackListener>("127.0.0.1");
    const int port = v4->Port();
    std::unique_ptr<TLoopbackListener> v6;
    try {
        v6 = std::make_unique<TLoopbackListener>("::1", port);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "the port is taken on ::1";
    }
    struct TCase {
        std::vector<std::string> Addresses;
        bool CloseV4, CloseV6;
        int Timeout;
        std::string Expected;           // the winner's address, or what is raised
        std::vector<std::string> Tried; // the attempts of a failed race
    };
    const std::string refused = "Socket Error # 10061\r\nConnection refused.";
    const TCase cases[] = {
        {{"::1", "127.0.0.1"}, false, true, -1, "127.0.0.1", {}},
        {{"127.0.0.1", "::1"}, true, false, -1, "::1", {}},
        {{"::1", "127.0.0.1"}, false, true, 5000, "127.0.0.1", {}},
        {{"::1", "127.0.0.1"}, true, true, -1, "EIdSocketError: " + refused, {"::1", "127.0.0.1"}},
        {{"127.0.0.1", "::1"}, true, true, 5000, "EIdConnectException: " + refused, {"127.0.0.1", "::1"}},
        // The families by turns, each in its own order.
        {{"::1", "::1", "127.0.0.1", "127.0.0.1"},
         true,
         true,
         -1,
         "EIdSocketError: " + refused,
         {"::1", "127.0.0.1", "::1", "127.0.0.1"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Expected + " after " + c.Addresses.front() + ", timeout " + std::to_string(c.Timeout));
        if (c.CloseV4)
            v4.reset();
        else if (!v4)
            v4 = std::make_unique<TLoopbackListener>("127.0.0.1", port);
        if (c.CloseV6)
            v6.reset();
        else if (!v6)
            v6 = std::make_unique<TLoopbackListener>("::1", port);
        Answer(c.Addresses);
        const int before = OpenDescriptors();
        auto client = Client(port);
        std::string raised = Raised([&] { client->Connect(c.Timeout); });
        EXPECT_EQ(raised.empty() ? Binding(*client).PeerIP : raised, c.Expected);
        client->Disconnect();
        EXPECT_EQ(OpenDescriptors(), before);
        // Every address was tried once.
        std::vector<std::string> tried;
        for (const std::string& line : Log)
            if (line.rfind("Connecting to ", 0) == 0) tried.push_back(line.substr(14, line.size() - 15));
        if (!raised.empty()) {
            EXPECT_EQ(tried, c.Tried);
        }
        Log.clear();
    }
}

TEST_F(ConnectRaceTest, TheTimeOutBoundsTheWholeRace) {
    TPair a = StalledAndWorking("::1", "127.0.0.1");
    if (!a.Working) GTEST_SKIP() << "the port is taken on ::1";
    a.Working->Fill();
    Answer({"127.0.0.1", "::1"});
    const int before = OpenDescriptors();
    auto client = Client(a.Working->Port());
    const auto start = Clock::now();
    EXPECT_EQ(Raised([&] { client->Connect(600); }), "EIdConnectTimeout: Connect timed out.");
    EXPECT_GE(MillisecondsSince(start), 590);
    EXPECT_EQ(Log.size(), 3u); // resolving and both attempts
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(OpenDescriptors(), before);
}

// The cancel signal ends a race without a time-out of its own too.
TEST_F(ConnectRaceTest, TheCancelSignalEndsTheRace) {
    TPair a = StalledAndWorking("::1", "127.0.0.1");
    if (!a.Working) GTEST_SKIP() << "the port is taken on ::1";
    a.Working->Fill();
    Answer({"127.0.0.1", "::1"});
    for (const int timeout : {-1, 60000}) {
        TIdCancelSignal cancel;
        const int before = OpenDescriptors();
        auto client = Client(a.Working->Port());
        client->CancelSignal = &cancel;
        std::string raised;
        WithinMilliseconds(30000, "the cancelled race", [&] {
            std::thread stopper([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                cancel.Cancel();
            });
            raised = Raised([&] { client->Connect(timeout); });
            stopper.join();
        });
        EXPECT_EQ(raised, "EIdCancelled: Operation cancelled");
        EXPECT_FALSE(client->Connected());
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

// Every attempt binds as the client asks; one whose bound address is of the
// other family fails on this machine, and a later attempt's refusal says more.
TEST_F(ConnectRaceTest, ABoundAddressOfTheOtherFamily) {
    TLoopbackListener v4("127.0.0.1");
    Answer({"::1", "127.0.0.1"});
    auto client = Client(v4.Port());
    client->BoundIP = "127.0.0.1";
    client->Connect();
    EXPECT_EQ(Binding(*client).PeerIP, "127.0.0.1");
    EXPECT_EQ(Binding(*client).IP, "127.0.0.1");
    client->Disconnect();

    Answer({"::1"});
    EXPECT_EQ(Raised([&] { client->Connect(); }),
              "EIdSocketError: Socket Error # 10047\r\nAddress family not supported by protocol family.");
}
