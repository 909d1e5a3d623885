// Host-name lookups that a stop cuts short: a lookup that never answers ends
// with EIdCancelled as soon as the connection's cancel signal fires, and the
// thread left behind ends by itself once its lookup returns. The lookup is
// replaced by one the test holds, so that no name is ever really looked up.
#include "NetTestUtil.h"
#include "net/IdCancelSignal.h"
#include "net/IdException.h"
#include "net/IdResolver.h"
#include "net/IdStack.h"
#include "support/ChildReport.h"
#include "support/HeldLookup.h"
#include "support/SilentNameServer.h"
#include "support/Watchdog.h"

#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A held lookup answers 10.9.8.7 once let go.
TIdLookupAnswer Found10987() {
    TIdLookupAnswer answer;
    answer.Addresses = {"10.9.8.7"};
    return answer;
}

// Puts a lookup in for one test and takes it out again, once every lookup
// thread has ended (so that nothing of the test runs after it).
class ResolverTest : public ::testing::Test {
  protected:
    void TearDown() override { Held.ReleaseAndRestore(); }
    TStackHolder Stack;
    THeldLookup Held{Found10987()};
};

TEST_F(ResolverTest, AHangingLookupEndsWhenTheSignalFires) {
    Held.Install();
    TIdCancelSignal cancel;
    std::string raised;
    WithinMilliseconds(60000, "the cancelled lookup", [&] {
        std::thread stopper([&] {
            Held.WaitStarted(1);
            cancel.Cancel();
        });
        raised = Raised([&] { GStack().ResolveToAddress("photos.example", &cancel); });
        stopper.join();
    });
    EXPECT_EQ(raised, "EIdCancelled: Operation cancelled");
    // The thread left behind is still in its lookup; letting it go ends it
    // (TearDown waits for that), and it writes nothing the caller still owns.
    EXPECT_EQ(RunningLookups(), 1);
}

TEST_F(ResolverTest, ASignalFiredBeforeLooksNothingUp) {
    Held.Install();
    TIdCancelSignal cancel;
    cancel.Cancel();
    EXPECT_EQ(Raised([&] { GStack().ResolveToAddress("photos.example", &cancel); }),
              "EIdCancelled: Operation cancelled");
    EXPECT_EQ(Held.Started(), 0u);
    EXPECT_EQ(RunningLookups(), 0);
}

TEST_F(ResolverTest, NamesThatNeedNoLookupIgnoreTheSignal) {
    Held.Install();
    TIdCancelSignal cancel;
    cancel.Cancel();
    EXPECT_EQ(GStack().ResolveToAddress("localhost", &cancel), "127.0.0.1");
    EXPECT_EQ(GStack().ResolveToAddress("127.0.0.1", &cancel), "127.0.0.1");
    EXPECT_EQ(Held.Started(), 0u);
}

// The answers and failures read the same with and without a cancel signal,
// that is, on the lookup's own thread and on the caller's.
TEST_F(ResolverTest, AnswersAndFailuresAreTheSameOnBothPaths) {
    struct TCase {
        int Code;
        bool Found;
        const char* Expected;
    };
    const TCase cases[] = {
        {0, true, "10.1.2.3"},
        {EAI_NONAME, false, "EIdSocketError: Socket Error # 11001\r\nHost not found."},
        {EAI_AGAIN, false, "EIdSocketError: Socket Error # 11002\r\n"},
        {EAI_FAIL, false, "EIdSocketError: Socket Error # 11003\r\n"},
        {0, false, "EIdSocketError: Socket Error # 11004\r\n"},
    };
    for (const TCase& c : cases) {
        SetLookupFunction([c](const std::string& host) {
            if (host != "photos.example") throw std::runtime_error("wrong host");
            TIdLookupAnswer answer;
            answer.Code = c.Code;
            if (c.Found) answer.Addresses = {"10.1.2.3"};
            return answer;
        });
        for (const bool withSignal : {false, true}) {
            SCOPED_TRACE(std::string(c.Expected) + (withSignal ? " (signal)" : " (no signal)"));
            TIdCancelSignal cancel;
            std::string got;
            const std::string raised = Raised(
                [&] { got = GStack().ResolveToAddress("photos.example", withSignal ? &cancel : nullptr); });
            EXPECT_EQ(raised.empty() ? got : raised, c.Expected);
        }
    }
}

// A lookup function that fails in itself ends the lookup as a failure, not
// the program: its thread lets nothing escape.
TEST_F(ResolverTest, ALookupThatRaisesFailsTheResolveOnly) {
    SetLookupFunction([](const std::string&) -> TIdLookupAnswer { throw std::bad_alloc(); });
    TIdCancelSignal cancel;
    EXPECT_EQ(
        Raised([&] { GStack().ResolveToAddress("photos.example", &cancel); }).rfind("EIdSocketError: ", 0),
        0u);
}

// The client's connect takes its cancel signal into the lookup: a stop during
// "Resolving hostname" ends the connect at once, and nothing is connected.
TEST_F(ResolverTest, AConnectStoppedDuringItsLookup) {
    Held.Install();
    TIdCancelSignal cancel;
    TIdTCPClient client;
    client.Host = "photos.example";
    client.Port = 80;
    client.CancelSignal = &cancel;
    std::vector<std::string> log;
    client.OnStatus = [&log](TIdComponent*, TIdStatus, const std::string& text) { log.push_back(text); };
    std::string raised;
    WithinMilliseconds(60000, "the cancelled connect", [&] {
        std::thread stopper([&] {
            Held.WaitStarted(1);
            cancel.Cancel();
        });
        raised = Raised([&] { client.Connect(); });
        stopper.join();
    });
    EXPECT_EQ(raised, "EIdCancelled: Operation cancelled");
    EXPECT_EQ(log, std::vector<std::string>{"Resolving hostname photos.example."});
    EXPECT_FALSE(client.Connected());
}

// Many stopped lookups at once, as when every worker of a run is resolving
// when the run is stopped: each caller goes on, each thread ends once let go.
TEST_F(ResolverTest, ManyLookupsStoppedAtOnce) {
    Held.Install();
    TIdCancelSignal cancel;
    constexpr int Callers = 8;
    std::vector<std::string> raised(Callers);
    WithinMilliseconds(60000, "the cancelled lookups", [&] {
        std::vector<std::thread> callers;
        for (int k = 0; k < Callers; ++k)
            callers.emplace_back([&, k] {
                raised[k] = Raised([&] { GStack().ResolveToAddress("photos.example", &cancel); });
            });
        Held.WaitStarted(Callers);
        cancel.Cancel();
        for (std::thread& caller : callers)
            caller.join();
    });
    for (const std::string& text : raised)
        EXPECT_EQ(text, "EIdCancelled: Operation cancelled");
}

// Abandons count lookups held by the test: each caller is stopped once its
// lookup has begun, and goes on; the threads stay until the test lets them go.
void AbandonHeldLookups(const THeldLookup& held, int count) {
    TIdCancelSignal cancel;
    std::vector<std::thread> callers;
    const size_t begun = held.Started();
    for (int k = 0; k < count; ++k)
        callers.emplace_back([&] { Raised([&] { GStack().ResolveToAddress("photos.example", &cancel); }); });
    held.WaitStarted(begun + static_cast<size_t>(count));
    cancel.Cancel();
    for (std::thread& caller : callers)
        caller.join();
}

// Lookups left behind are bounded: with MaxAbandonedLookups of them still
// waiting for the name server, a new lookup starts no thread; it waits for a
// slot within the connect's time-out, or until it is stopped, and goes on as
// soon as one of them ends.
TEST_F(ResolverTest, AbandonedLookupsAreBounded) {
    Held.Install();
    WithinMilliseconds(60000, "the bounded lookups", [&] {
        AbandonHeldLookups(Held, MaxAbandonedLookups);
        EXPECT_EQ(AbandonedLookups(), MaxAbandonedLookups);
        const std::string busy =
            "EIdConnectTimeout: Connect timed out: 8 abandoned host name lookups are still "
            "waiting for the name server.";
        TIdCancelSignal cancel;
        EXPECT_EQ(Raised([&] { GStack().ResolveToAddresses("photos.example", &cancel, 300); }), busy);
        // The client's connect time-out is the bound of that wait.
        TIdTCPClient client;
        client.Host = "photos.example";
        client.Port = 80;
        client.CancelSignal = &cancel;
        EXPECT_EQ(Raised([&] { client.Connect(300); }), busy);
        // Without a time-out it waits until stopped.
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            cancel.Cancel();
        });
        EXPECT_EQ(Raised([&] { client.Connect(); }), "EIdCancelled: Operation cancelled");
        stopper.join();
        EXPECT_EQ(Held.Started(), static_cast<size_t>(MaxAbandonedLookups));

        // A waiting lookup goes on once the held ones end.
        TIdCancelSignal other;
        std::string found;
        std::thread waiter([&] { found = GStack().ResolveToAddress("photos.example", &other); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Held.Release();
        waiter.join();
        EXPECT_EQ(found, "10.9.8.7");
        while (AbandonedLookups() != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
}

// A lookup that answers before its caller was stopped is not left behind.
TEST_F(ResolverTest, OnlyLookupsStillRunningCountAsAbandoned) {
    Held.Release();
    Held.Install();
    TIdCancelSignal cancel;
    EXPECT_EQ(GStack().ResolveToAddress("photos.example", &cancel), "10.9.8.7");
    cancel.Cancel();
    EXPECT_EQ(AbandonedLookups(), 0);
}

// The system's own lookup against a name server that never answers, in a
// network and mount namespace of a child process, so no name leaves the
// machine. The stop fires once the query has reached the server, so the
// lookup is surely under way. This is the child's whole run: the exit code
// tells the parent, and what the connect raised goes to report.
[[noreturn]] void StopALookupOfASilentServer(int report) {
    const int server = EnterSilentNameServerNamespace();
    if (server < 0) std::_Exit(NoNamespaceExit);
    TIdCancelSignal cancel;
    bool queried = false;
    std::thread stopper([&] {
        pollfd query{server, POLLIN, 0};
        queried = ::poll(&query, 1, 60000) == 1;
        cancel.Cancel();
    });
    TIdTCPClient client;
    client.Host = "albums.quillora.test";
    client.Port = 80;
    client.CancelSignal = &cancel;
    std::string raised = Raised([&] { client.Connect(); });
    stopper.join();
    if (!queried) raised = "no query reached the name server; " + raised;
    (void)!::write(report, raised.data(), raised.size());
    std::_Exit(0);
}

#if defined(__SANITIZE_THREAD__)
#define QUILLORA_FORK_THREADS_UNSUPPORTED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLORA_FORK_THREADS_UNSUPPORTED 1
#endif
#endif

// The child's run of the bound against a silent name server: eight
// connects stopped during their lookups, then a ninth with a time-out.
[[noreturn]] void OutlastTheBoundOnASilentServer(int report) {
    const int server = EnterSilentNameServerNamespace();
    if (server < 0) std::_Exit(NoNamespaceExit);
    TIdCancelSignal cancel;
    std::vector<std::thread> callers;
    for (int k = 0; k < MaxAbandonedLookups; ++k)
        callers.emplace_back([&] {
            TIdTCPClient client;
            client.Host = "albums.quillora.test";
            client.Port = 80;
            client.CancelSignal = &cancel;
            Raised([&] { client.Connect(); });
        });
    pollfd query{server, POLLIN, 0};
    const bool queried = ::poll(&query, 1, 60000) == 1;
    while (RunningLookups() < MaxAbandonedLookups)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancel.Cancel();
    for (std::thread& caller : callers)
        caller.join();
    TIdCancelSignal next;
    TIdTCPClient client;
    client.Host = "albums.quillora.test";
    client.Port = 80;
    client.CancelSignal = &next;
    std::string raised = Raised([&] { client.Connect(500); });
    if (!queried) raised = "no query reached the name server; " + raised;
    (void)!::write(report, raised.data(), raised.size());
    std::_Exit(0);
}

TEST(ResolverSystem, LookupsAbandonedOnASilentNameServerAreBounded) {
#ifdef QUILLORA_FORK_THREADS_UNSUPPORTED
    GTEST_SKIP() << "ThreadSanitizer runs no threads in a forked child";
#endif
    bool skipped = false;
    const std::string raised = ReportOfChild(OutlastTheBoundOnASilentServer, skipped, NoNamespaceExit);
    if (skipped) GTEST_SKIP() << "no private network namespace here (needs root)";
    EXPECT_EQ(raised, "EIdConnectTimeout: Connect timed out: 8 abandoned host name lookups are still waiting "
                      "for the name server.");
}

TEST(ResolverSystem, ALookupOfASilentNameServerIsStopped) {
#ifdef QUILLORA_FORK_THREADS_UNSUPPORTED
    GTEST_SKIP() << "ThreadSanitizer runs no threads in a forked child";
#endif
    bool skipped = false;
    const std::string raised = ReportOfChild(StopALookupOfASilentServer, skipped, NoNamespaceExit);
    if (skipped) GTEST_SKIP() << "no private network namespace here (needs root)";
    EXPECT_EQ(raised, "EIdCancelled: Operation cancelled");
}

} // namespace
