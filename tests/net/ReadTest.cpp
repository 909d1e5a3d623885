#include "NetTestUtil.h"
#include "net/IdCancelSignal.h"
#include "net/IdException.h"
#include "net/IdStack.h"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

struct TWorkLog {
    std::vector<std::string> Events;
    void Attach(TIdComponent& component) {
        component.OnWorkBegin = [this](TIdComponent*, TWorkMode mode, int32_t max) {
            Events.push_back(std::string(mode == wmRead ? "r" : "w") + "begin " + std::to_string(max));
        };
        component.OnWork = [this](TIdComponent*, TWorkMode mode, int32_t count) {
            Events.push_back(std::string(mode == wmRead ? "r" : "w") + std::to_string(count));
        };
        component.OnWorkEnd = [this](TIdComponent*, TWorkMode mode) {
            Events.push_back(std::string(mode == wmRead ? "r" : "w") + "end");
        };
    }
};

std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

} // namespace

TEST(Read, CountedReadCutByCloseKeepsThePartialPieceQueued) {
    TScriptedPeer peer({TPeerStep::Pause(50), TPeerStep::Send("abcd"), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    TMemoryStream stream;
    EXPECT_EQ(Raised([&] { client->ReadIntoStream(stream, 10); }),
              "EIdConnClosedGracefully: Connection Closed Gracefully.");
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(client->InputQueue().ToString(), "abcd");
}

TEST(Read, ReadExactCutByClose) {
    TScriptedPeer peer({TPeerStep::Pause(50), TPeerStep::Send("abcd"), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    char buffer[10];
    EXPECT_THROW(client->ReadExact(buffer, 10), EIdConnClosedGracefully);
    EXPECT_EQ(client->InputQueue().ToString(), "abcd");
    // Asking again is still a close, not a missing connection.
    EXPECT_THROW(client->ReadExact(buffer, 10), EIdConnClosedGracefully);
    client->ReadExact(buffer, 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST(Read, CompletedPiecesReachTheStream) {
    TScriptedPeer peer({TPeerStep::Send(Bytes(100)), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    client->RecvBufferSize = 30;
    TMemoryStream stream;
    stream.WriteText("head");
    EXPECT_THROW(client->ReadIntoStream(stream, 200), EIdConnClosedGracefully);
    // Pieces of 30: three complete ones behind the queue's first bytes, ten left.
    EXPECT_EQ(stream.Size(), stream.Position());
    std::string inStream = stream.DataString().substr(4);
    EXPECT_EQ(inStream + client->InputQueue().ToString(), Bytes(100));
    EXPECT_LT(client->InputQueue().Size(), 30);
}

TEST(Read, ZeroCountWritesNothingAndLeavesTheQueue) {
    TScriptedPeer peer({TPeerStep::Send("queued\n"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    client->FillInputQueue();
    TMemoryStream stream;
    stream.WriteText("abc");
    stream.SetPosition(1);
    client->ReadIntoStream(stream, 0, false);
    EXPECT_EQ(stream.Size(), 1);
    EXPECT_EQ(client->InputQueue().ToString(), "queued\n");
}

TEST(Read, UntilCloseEndsQuietly) {
    TScriptedPeer peer({TPeerStep::Send(Bytes(100), true), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    TMemoryStream stream;
    client->ReadIntoStream(stream, -1, true);
    EXPECT_EQ(stream.DataString(), Bytes(100));
    EXPECT_FALSE(client->Connected());
}

TEST(Read, UntilCloseAfterTheCloseTakesWhatIsQueued) {
    TScriptedPeer peer({TPeerStep::Send(Bytes(100)), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    while (client->Connected())
        client->FillInputQueue(false);
    ASSERT_EQ(client->InputQueue().Size(), 100);
    TMemoryStream stream;
    client->ReadIntoStream(stream, -1, true);
    EXPECT_EQ(stream.DataString(), Bytes(100));
    EXPECT_EQ(client->InputQueue().Size(), 0);
}

TEST(Read, CountPrefixedBlock) {
    TScriptedPeer peer({TPeerStep::Send(std::string("\0\0\0\5hello+", 10)), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    TMemoryStream stream;
    client->ReadIntoStream(stream);
    EXPECT_EQ(stream.DataString(), "hello");
    EXPECT_EQ(client->ReadLn("+"), "");
}

TEST(Read, HugeAnnouncedCountDoesNotAllocateAhead) {
    TScriptedPeer peer({TPeerStep::Send("tiny"), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    // Growing a memory stream by the announced 2 GB up front would take that much memory.
    TMemoryStream memory;
    EXPECT_THROW(client->ReadIntoStream(memory, 2000000000), EIdConnClosedGracefully);
    EXPECT_EQ(memory.Size(), 0);
    EXPECT_EQ(client->InputQueue().ToString(), "tiny");
}

TEST(Read, LargeBodyIntoAFile) {
    const std::string body = Bytes(3 * 1024 * 1024 + 17);
    TScriptedPeer peer({TPeerStep::Send(body), TPeerStep::Stall(10000)});
    auto client = ConnectedClient(peer);
    char path[] = "/tmp/quillora-net-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        TFileStream file(path, TFileMode::fmCreate);
        client->ReadIntoStream(file, static_cast<int64_t>(body.size()));
        EXPECT_EQ(file.Size(), static_cast<int64_t>(body.size()));
    }
    TMemoryStream back;
    back.LoadFromFile(path);
    EXPECT_TRUE(back.DataString() == body);
    ::unlink(path);
}

TEST(Read, WorkEventsReportRunningTotalsAndNest) {
    TScriptedPeer peer({TPeerStep::Send("0123456789"), TPeerStep::Gate(), TPeerStep::Send(Bytes(15)),
                        TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    TWorkLog log;
    log.Attach(*client);
    while (client->InputQueue().Size() < 10)
        client->FillInputQueue();
    // The rest comes only now, so the read starts from ten queued bytes.
    peer.Open();
    client->StartWork(wmRead, 99);
    client->ReadIntoStream(*std::make_unique<TMemoryStream>(), 25);
    client->FinishWork(wmRead);
    std::vector<std::string> want{"rbegin 99", "r10", "r25", "rend"};
    EXPECT_EQ(log.Events, want);
}

TEST(Read, LinesOutsideABracketReportNothing) {
    TScriptedPeer peer({TPeerStep::Send("a\nb\n"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    TWorkLog log;
    log.Attach(*client);
    client->ReadLn();
    EXPECT_TRUE(log.Events.empty());
}

TEST(Read, ReadAllUntilClose) {
    TScriptedPeer peer(
        {TPeerStep::Send("abc"), TPeerStep::Pause(30), TPeerStep::Send("def"), TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    TWorkLog log;
    log.Attach(*client);
    EXPECT_EQ(client->ReadAllUntilClose(), "abcdef");
    ASSERT_GE(log.Events.size(), 3u);
    EXPECT_EQ(log.Events.front(), "rbegin 0");
    EXPECT_EQ(log.Events[log.Events.size() - 2], "r6");
    EXPECT_EQ(log.Events.back(), "rend");
}

TEST(Read, PeerResetIsASocketError) {
    TScriptedPeer peer({TPeerStep::Send("abc"), TPeerStep::Pause(50), TPeerStep::Reset()});
    auto client = ConnectedClient(peer);
    std::string raised = Raised([&] {
        for (;;)
            client->ReadLn();
    });
    EXPECT_EQ(raised, "EIdSocketError: Socket Error # 10054\r\nConnection reset by peer.");
}

TEST(Read, PollForCloseNoticesTheClose) {
    TScriptedPeer peer({TPeerStep::Close()});
    auto client = ConnectedClient(peer);
    ASSERT_TRUE(peer.WaitDone());
    for (int i = 0; i < 200 && client->Connected(); ++i)
        client->PollForClose(false);
    EXPECT_FALSE(client->Connected());
}

TEST(Read, ZeroReadTimeoutWaitsForEver) {
    TScriptedPeer peer({TPeerStep::Pause(300), TPeerStep::Send("slow\n"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    client->ReadTimeout = 0;
    EXPECT_EQ(client->ReadLn(), "slow");
}

TEST(Read, AsciiFilterClearsTheHighBit) {
    TScriptedPeer peer({TPeerStep::Send("\xC1\xE2\n"), TPeerStep::Stall(5000)});
    auto client = ConnectedClient(peer);
    client->ASCIIFilter = true;
    EXPECT_EQ(client->ReadLn(), "Ab");
}

// A stop must not wait for a silent server's read time-out.
TEST(Read, CancelSignalWakesABlockedReadAtOnce) {
    TScriptedPeer peer({TPeerStep::Send("partial"), TPeerStep::Stall()});
    auto client = ConnectedClient(peer);
    TIdCancelSignal cancel;
    client->CancelSignal = &cancel;
    client->ReadTimeout = 0; // wait for ever: only the signal can end it
    // Before or during the wait, the outcome is the same.
    std::thread stopper([&] {
        peer.WaitReached(0, 1);
        cancel.Cancel();
    });
    TMemoryStream stream;
    EXPECT_EQ(Raised([&] { client->ReadIntoStream(stream, 100); }), "EIdCancelled: Operation cancelled");
    stopper.join();
    // Once fired it stays fired, also for the next connect.
    client->Disconnect();
    EXPECT_EQ(Raised([&] { client->Connect(1000); }), "EIdCancelled: Operation cancelled");
}

// A body that never pauses is taken without waiting, but a stop still ends
// it at the next receive, not when the server runs dry.
TEST(Read, CancelSignalStopsABodyThatKeepsComing) {
    const std::string body = Bytes(8 * 1024 * 1024);
    TScriptedPeer peer({TPeerStep::Send(body), TPeerStep::Stall()});
    auto client = ConnectedClient(peer);
    TIdCancelSignal cancel;
    client->CancelSignal = &cancel;
    char first[1000];
    client->ReadExact(first, sizeof first);
    cancel.Cancel();
    const int32_t queued = client->InputQueue().Size();
    TMemoryStream stream;
    EXPECT_EQ(Raised([&] { client->ReadIntoStream(stream, int64_t(body.size()) - 1000); }),
              "EIdCancelled: Operation cancelled");
    // What was queued before the stop may reach the stream; nothing received after it.
    EXPECT_LE(stream.Size(), queued);
    EXPECT_EQ(stream.DataString(), body.substr(1000, size_t(stream.Size())));
    // The peer was still sending when the client stopped reading: that is the point.
    client.reset();
    peer.Stop();
    peer.Failures();
}

// Whole pieces that are already queued reach the stream in one write.
TEST(Read, QueuedPiecesGoInOneWrite) {
    const std::string body = Bytes(100000);
    TScriptedPeer peer({TPeerStep::Send(body), TPeerStep::Stall(10000)});
    auto client = ConnectedClient(peer);
    client->RecvBufferSize = 1000;
    ASSERT_TRUE(peer.WaitReached(0, 1));
    struct TCountingStream : TMemoryStream {
        std::vector<int64_t> Writes;
        int64_t Write(const void* buffer, int64_t count) override {
            Writes.push_back(count);
            return TMemoryStream::Write(buffer, count);
        }
    } stream;
    client->ReadIntoStream(stream, int64_t(body.size()));
    EXPECT_EQ(stream.DataString(), body);
    EXPECT_LT(stream.Writes.size(), 10u);
    for (size_t i = 0; i + 1 < stream.Writes.size(); ++i)
        EXPECT_EQ(stream.Writes[i] % 1000, 0) << "write " << i;
}

TEST(Read, SocketErrorNumbersAreKeptPerThread) {
    TIdStack::SetLastError(10054);
    std::thread other([] {
        EXPECT_EQ(TIdStack::LastError(), 0);
        TIdStack::SetLastError(10061);
    });
    other.join();
    EXPECT_EQ(TIdStack::LastError(), 10054);
}

// Connections on many threads at once share nothing mutable: each reads its
// own peer and gets its own refused connect (the ThreadSanitizer build runs
// this too).
TEST(Read, ConnectionsOnManyThreadsAtOnce) {
    constexpr int threads = 6;
    std::vector<std::unique_ptr<TScriptedPeer>> peers;
    for (int k = 0; k < threads; ++k)
        peers.push_back(std::make_unique<TScriptedPeer>(
            TPeerScript{TPeerStep::Send("line " + std::to_string(k) + "\r\n"), TPeerStep::Close()}));
    std::vector<std::string> lines(threads), refusals(threads);
    std::vector<std::thread> running;
    for (int k = 0; k < threads; ++k)
        running.emplace_back([&, k] {
            auto client = ConnectedClient(*peers[static_cast<size_t>(k)]);
            lines[static_cast<size_t>(k)] = client->ReadLn();
            TIdTCPClient refused;
            refused.Host = "127.0.0.1";
            refused.Port = 1; // nothing listens there
            refusals[static_cast<size_t>(k)] = Raised([&] { refused.Connect(2000); });
        });
    for (std::thread& t : running)
        t.join();
    for (int k = 0; k < threads; ++k) {
        EXPECT_EQ(lines[static_cast<size_t>(k)], "line " + std::to_string(k));
        EXPECT_NE(refusals[static_cast<size_t>(k)].find("10061"), std::string::npos)
            << refusals[static_cast<size_t>(k)];
    }
}
