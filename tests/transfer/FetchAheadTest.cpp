// Fetching ahead against a scripted proxy: bodies come as files in the
// order asked for, the body the command waits for goes first even past the
// lookahead, failures surface where their file is taken, and whatever was
// not taken is gone with the object.

#include "transfer/FetchAhead.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "support/ScriptedPeer.h"
#include "support/Watchdog.h"
#include "transfer/WireScratch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The script with its first reply held until the test opens the gate.
TPeerScript Gated(TPeerScript script) {
    script.insert(script.begin() + 1, TPeerStep::Gate());
    return script;
}

// One kept-alive connection answering each request with its reply in turn.
TPeerScript Answers(const std::vector<std::string>& replies) {
    TPeerScript script;
    for (const std::string& reply : replies) {
        script.push_back(TPeerStep::ReadUntil("\r\n\r\n"));
        script.push_back(TPeerStep::Send(reply));
    }
    script.push_back(TPeerStep::Stall());
    return script;
}

std::string PictureName(size_t k) {
    return "p" + std::to_string(k);
}

// The last path segment of each request in bytes, in the order they came.
std::vector<std::string> RequestedNames(const std::string& bytes) {
    std::vector<std::string> names;
    for (size_t head = 0, end; (end = bytes.find("\r\n\r\n", head)) != std::string::npos; head = end + 4) {
        const size_t target = bytes.find(' ', head) + 1;
        const std::string url = bytes.substr(target, bytes.find(' ', target) - target);
        names.push_back(url.substr(url.rfind('/') + 1));
    }
    return names;
}

// The number of a process that has ended and that no process holds now:
// a child reaped, checked to be free still.
pid_t DeadProcessId() {
    for (;;) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        if (child < 0 || ::waitpid(child, nullptr, 0) != child) return -1;
        if (::kill(child, 0) != 0 && errno == ESRCH) return child;
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(GbkToFileName(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FetchAheadTest : public TWireScratch<> {
  protected:
    FetchAheadTest() : TWireScratch("quillora-ahead") {}
    void UseProxy(const TScriptedPeer& peer) {
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(peer.Port())).c_str(), 1);
    }
    std::string Root() const { return Folder.string() + "/"; }
    size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(Folder), {})); }
};

} // namespace

TEST_F(FetchAheadTest, BodiesComeAsFilesInOrderOnOneConnection) {
    TScriptedPeer peer(Answers({Ok("one"), Ok("two"), Ok("three")}));
    UseProxy(peer);
    int waits = 0;
    {
        TFetchAhead ahead(1, Root());
        for (const char* name : {"a", "b", "c"})
            ahead.Add(std::string("http://pics.test/") + name, 100);
        size_t job = 0;
        for (const char* body : {"one", "two", "three"})
            EXPECT_EQ(ReadAll(ahead.Take(job++, [&waits] { ++waits; })), body);
    }
    EXPECT_EQ(peer.AcceptedCount(), 1u); // one kept-alive connection for all three
    EXPECT_EQ(Entries(), 0u);            // taken files were the caller's; the staging folder is gone
}

// More finished bodies than the lookahead allows wait unread; the one the
// command asks for next still comes, whatever its place in the queue. Each
// reply is a body of its own, so a file handed to the wrong job shows.
TEST_F(FetchAheadTest, TheAwaitedBodyGoesFirstPastTheLookahead) {
    const size_t count = TFetchAhead::Lookahead + 3;
    std::vector<std::string> replies;
    for (size_t k = 0; k < count; ++k)
        replies.push_back(Ok("reply " + std::to_string(k)));
    TScriptedPeer peer(Answers(replies), 60000);
    UseProxy(peer);
    std::vector<std::string> bodies(count);
    {
        TFetchAhead ahead(1, Root());
        for (size_t k = 0; k < count; ++k)
            ahead.Add("http://pics.test/" + PictureName(k), 100);
        // Every body the lookahead allows has come: the peer waits for the next request.
        ASSERT_TRUE(peer.WaitReached(0, 2 * TFetchAhead::Lookahead, 60000));
        bodies[count - 1] = ReadAll(ahead.Take(count - 1, [] {}));
        for (size_t k = 0; k + 1 < count; ++k)
            bodies[k] = ReadAll(ahead.Take(k, [] {}));
    }
    EXPECT_TRUE(peer.Finish()); // every reply was asked for and read
    const std::vector<std::string> asked = RequestedNames(peer.Received(0));
    ASSERT_EQ(asked.size(), count);
    // The lookahead full, the awaited one goes before the two still queued.
    EXPECT_EQ(asked[TFetchAhead::Lookahead], PictureName(count - 1));
    for (size_t k = 0; k < count; ++k) {
        const auto at = std::find(asked.begin(), asked.end(), PictureName(k)) - asked.begin();
        EXPECT_EQ(bodies[k], "reply " + std::to_string(at)) << PictureName(k);
    }
    EXPECT_EQ(peer.AcceptedCount(), 1u);
    EXPECT_EQ(Entries(), 0u);
}

TEST_F(FetchAheadTest, FailuresSurfaceWhereTheirFileIsTaken) {
    TScriptedPeer peer(Answers(
        {Ok("fine"), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", Ok("late"), Ok("too long")}));
    UseProxy(peer);
    TFetchAhead ahead(1, Root());
    for (const char* name : {"a", "b", "c"})
        ahead.Add(std::string("http://pics.test/") + name, 100);
    EXPECT_EQ(ReadAll(ahead.Take(0, [] {})), "fine");
    try {
        ahead.Take(1, [] {});
        ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
    }
    EXPECT_EQ(ReadAll(ahead.Take(2, [] {})), "late"); // the refusal cost the connection nothing
    // A body past its limit fails as well, before it is kept.
    EXPECT_THROW(ahead.Take(ahead.Add("http://pics.test/d", 2), [] {}), EIdReplyTooLarge);
    EXPECT_EQ(peer.AcceptedCount(), 1u);
}

// A kept connection the server closed while it lay idle ends the next
// request before any byte of a reply: that request goes once more on a new
// connection, for free. A second close in a row, or a close after part of a
// reply, is the fetch's failure.
TEST_F(FetchAheadTest, AKeptConnectionClosedBeforeAnyReplyIsAskedOnceMore) {
    const TPeerStep request = TPeerStep::ReadUntil("\r\n\r\n");
    const struct {
        const char* Name;
        std::vector<TPeerScript> Scripts;
        const char* Second; // the second body, or the failure's class
        size_t Connections;
    } cases[] = {
        {"closed before the reply",
         {{request, TPeerStep::Send(Ok("one")), request, TPeerStep::Close()},
          {request, TPeerStep::Send(Ok("two")), TPeerStep::Stall()}},
         "two",
         2},
        {"reset before the reply",
         {{request, TPeerStep::Send(Ok("one")), request, TPeerStep::Reset()},
          {request, TPeerStep::Send(Ok("two")), TPeerStep::Stall()}},
         "two",
         2},
        {"closed again on the new connection",
         {{request, TPeerStep::Send(Ok("one")), request, TPeerStep::Close()}, {request, TPeerStep::Close()}},
         "EIdConnClosedGracefully",
         2},
        {"closed inside the reply",
         {{request, TPeerStep::Send(Ok("one")), request, TPeerStep::Send("HTTP/1.1 200 OK\r\n"),
           TPeerStep::Close()}},
         "EIdConnClosedGracefully",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedPeer peer(c.Scripts);
        UseProxy(peer);
        TFetchAhead ahead(1, Root());
        ahead.Add("http://pics.test/a", 100);
        ahead.Add("http://pics.test/b", 100);
        EXPECT_EQ(ReadAll(ahead.Take(0, [] {})), "one");
        try {
            EXPECT_EQ(ReadAll(ahead.Take(1, [] {})), c.Second);
        } catch (const Exception& e) {
            EXPECT_EQ(e.ClassName(), std::string(c.Second)) << e.Message();
        }
        EXPECT_EQ(peer.AcceptedCount(), c.Connections);
        EXPECT_TRUE(peer.Finish()); // every script played as written
    }
}

// Pipelined requests a server leaves unanswered are asked again on a new
// connection: every body arrives whole, each in its own file, none twice,
// and nothing is left in the staging folder.
TEST_F(FetchAheadTest, PipelinesLeftUnansweredLoseNothing) {
    const TPeerStep request = TPeerStep::ReadUntil("\r\n\r\n");
    const std::string ok10 = "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\n";
    const struct {
        const char* Name;
        std::vector<TPeerScript> Scripts;
        size_t Connections;
    } cases[] = {
        {"closed after the first reply of the pipeline",
         {{request, TPeerStep::Gate(), TPeerStep::Send(Ok("A")), request, request, request,
           TPeerStep::Send(Ok("B")), TPeerStep::Close()},
          Answers({Ok("C"), Ok("D")})},
         2},
        {"Connection: close mid-pipeline, then a reply out of turn",
         {{request, TPeerStep::Gate(), TPeerStep::Send(Ok("A")), request, request, request,
           TPeerStep::Send(Ok("B") + "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nC" +
                           Ok("stale")),
           TPeerStep::Stall()},
          Answers({Ok("D")})},
         2},
        {"an HTTP/1.0 peer",
         {Gated(Answers({ok10 + "A", ok10 + "B", ok10 + "C", ok10 + "D"}))},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedPeer peer(c.Scripts);
        UseProxy(peer);
        {
            TFetchAhead ahead(1, Root());
            for (const char* name : {"a", "b", "c", "d"})
                ahead.Add(std::string("http://pics.test/") + name, 100);
            // The first reply only once all four are queued: the requests after
            // it go out together however late this thread ran.
            peer.Open();
            size_t job = 0;
            for (const char* body : {"A", "B", "C", "D"})
                EXPECT_EQ(ReadAll(ahead.Take(job++, [] {})), body);
        }
        EXPECT_EQ(peer.AcceptedCount(), c.Connections);
        EXPECT_EQ(Entries(), 0u);
        EXPECT_TRUE(peer.Finish()); // every request came where the script expects it
    }
}

// The command stops waiting (a close of the window): the transfers still on
// their way are cancelled and their files removed with the staging folder.
// Neither the read time-out nor the peer ends the stalled transfer first:
// only the cancel can end it before the watchdog does.
TEST_F(FetchAheadTest, StoppingLeavesNothing) {
    SetClientReadTimeout(120000);
    TScriptedPeer peer({TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Stall()}, 300000);
    UseProxy(peer);
    WithinMilliseconds(60000, "the fetch ahead stopped during a stalled transfer", [&] {
        TFetchAhead ahead(2, Root());
        ahead.Add("http://pics.test/a", 100);
        ahead.Add("http://pics.test/b", 100);
        ASSERT_TRUE(peer.WaitReached(0, 1)); // the request is out: a transfer is under way
        EXPECT_THROW(ahead.Take(0, [] { throw EAbort("Operation aborted"); }), EAbort);
    });
    EXPECT_EQ(Entries(), 0u);
    EXPECT_TRUE(peer.Finish());
}

TEST_F(FetchAheadTest, WithoutConnectionsEachTakeFetchesThenAndThere) {
    TScriptedPeer peer(std::vector<TPeerScript>{
        {TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Send(Ok("x")), TPeerStep::Close()},
        {TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Send(Ok("y")), TPeerStep::Close()}});
    UseProxy(peer);
    TFetchAhead ahead(0, Root());
    ahead.Add("http://pics.test/a", 100);
    ahead.Add("http://pics.test/b", 100);
    EXPECT_EQ(peer.AcceptedCount(), 0u); // nothing runs ahead
    EXPECT_EQ(ReadAll(ahead.Take(0, [] {})), "x");
    EXPECT_EQ(ReadAll(ahead.Take(1, [] {})), "y");
    EXPECT_EQ(peer.AcceptedCount(), 2u); // a fresh connection each
}

// A program killed while fetching ahead leaves its staging folder; the next
// one removes it, but never the folder of a program still running: each
// folder's lock file is held by its program as long as it runs.
TEST_F(FetchAheadTest, StagingFoldersOfDeadProgramsAreRemoved) {
    auto once = [](const std::string& body) {
        return TPeerScript{TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Send(Ok(body))};
    };
    TScriptedPeer peer(std::vector<TPeerScript>{once("x"), once("y")});
    UseProxy(peer);
    auto staged = [&](const std::string& name, const char* lock) {
        fs::create_directories(Folder / name);
        std::ofstream(Folder / name / "f0") << "left behind";
        if (lock) std::ofstream(Folder / name / lock) << "";
    };
    staged(".quillora-fetch-dead01", "lock");          // its program was killed: the lock is free
    // An older program's, named after its process number, without a lock.
    const std::string older = ".quillora-fetch-" + std::to_string(DeadProcessId()) + "-abcdef";
    staged(older, nullptr);
    staged(".quillora-fetch-held01", "lock");
    const int held = ::open((Folder / ".quillora-fetch-held01/lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    fs::create_directories(Folder / "other");
    fs::create_directory_symlink(Folder / "other", Folder / ".quillora-fetch-link01");
    std::ofstream(Folder / "other/lock") << "";
    {
        TFetchAhead running(1, Root());
        running.Add("http://pics.test/a", 100);
        const std::string first = running.Take(0, [] {});
        EXPECT_EQ(ReadAll(first), "x");
        fs::remove(GbkToFileName(first));
        const fs::path mine = fs::path(GbkToFileName(first)).parent_path();
        {
            TFetchAhead next(1, Root());
            next.Add("http://pics.test/c", 100);
            EXPECT_EQ(ReadAll(next.Take(0, [] {})), "y");
        }
        EXPECT_TRUE(fs::exists(mine)) << "the folder of a program still running was removed";
    }
    ::close(held);
    EXPECT_FALSE(fs::exists(Folder / ".quillora-fetch-dead01"));
    EXPECT_FALSE(fs::exists(Folder / older));
    EXPECT_TRUE(fs::exists(Folder / ".quillora-fetch-held01/f0"));
    EXPECT_TRUE(fs::exists(Folder / "other/lock")) << "a link was followed";
    fs::remove(Folder / ".quillora-fetch-link01");
    fs::remove_all(Folder / ".quillora-fetch-held01");
    fs::remove_all(Folder / "other");
    EXPECT_EQ(Entries(), 0u);
}
