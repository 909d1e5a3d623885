// Where quillora-fetch writes: any writable path, devices and pipes included;
// a regular file appears only when every fetch succeeded. And its help.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/RealServers.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace wire;
namespace fs = std::filesystem;

std::string Url(const TScriptedPeer& peer, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

std::vector<std::string> Entries(const TTempFolder& scratch) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(scratch.Path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const char* const Body = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nbody\n";

} // namespace

TEST(QuilloraFetchOutput, DevicesAndDescriptorPathsAreWrittenStraightThrough) {
    for (const std::string target : {"/dev/null", "/dev/stdout", "/proc/self/fd/1"}) {
        SCOPED_TRACE(target);
        TTempFolder scratch;
        TScriptedPeer peer(Reply(Body));
        const TFetchRun r = RunFetchIn(scratch, {"-o", target, Url(peer, "/x")});
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(r.Out, target == "/dev/null" ? "" : "body\n");
        EXPECT_EQ(Entries(scratch), (std::vector<std::string>{"err", "out"}));
    }
}

TEST(QuilloraFetchOutput, APipeIsWrittenStraightThrough) {
    TTempFolder scratch;
    const std::string fifo = scratch.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Drain the pipe while the tool writes into it.
    std::string drained;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        drained.assign(std::istreambuf_iterator<char>(in), {});
    });
    TScriptedPeer peer(Reply(Body));
    const TFetchRun r = RunFetchIn(scratch, {"-o", fifo, Url(peer, "/x")});
    reader.join();
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(drained, "body\n");
}

TEST(QuilloraFetchOutput, ARegularFileAppearsOnlyWhenEveryFetchSucceeded) {
    TTempFolder scratch;
    const std::string file = scratch.Path() + "/got.bin";
    {
        // The second URL fails: no file, and no temporary one left beside it.
        TScriptedPeer peer(TPeerScript{S::ReadUntil(RequestEnd), S::Send(Body), S::ReadUntil(RequestEnd),
                                       S::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")});
        const TFetchRun r = RunFetchIn(scratch, {"-f", "-o", file, Url(peer, "/1"), Url(peer, "/2")});
        EXPECT_EQ(r.ExitCode, 22);
        EXPECT_EQ(Entries(scratch), (std::vector<std::string>{"err", "out"}));
    }
    {
        TScriptedPeer peer(Reply(Body));
        EXPECT_EQ(RunFetchIn(scratch, {"-o", file, Url(peer, "/1")}).ExitCode, 0);
        EXPECT_EQ(scratch.ReadFile("got.bin"), "body\n");
    }
    {
        // A failure leaves an existing file as it was.
        TScriptedPeer peer(Reply("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops"));
        EXPECT_EQ(RunFetchIn(scratch, {"-f", "-o", file, Url(peer, "/1")}).ExitCode, 22);
        EXPECT_EQ(scratch.ReadFile("got.bin"), "body\n");
        EXPECT_EQ(Entries(scratch), (std::vector<std::string>{"err", "got.bin", "out"}));
    }
    {
        // Without -f the error reply is a fetch done, as with curl: its body is the file.
        TScriptedPeer peer(Reply("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops"));
        EXPECT_EQ(RunFetchIn(scratch, {"-o", file, Url(peer, "/1")}).ExitCode, 0);
        EXPECT_EQ(scratch.ReadFile("got.bin"), "oops");
    }
    fs::remove(file);
    {
        // A body cut short of its length is a failure too, and leaves no file.
        TScriptedPeer peer(Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this"));
        const TFetchRun r = RunFetchIn(scratch, {"-o", file, Url(peer, "/1")});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_NE(r.Err.find("EIdConnClosedGracefully: 127.0.0.1: Connection Closed Gracefully."),
                  std::string::npos)
            << r.Err;
        EXPECT_EQ(Entries(scratch), (std::vector<std::string>{"err", "out"}));
    }
}

TEST(QuilloraFetchOutput, HelpGoesToStandardOutputWithStatusZero) {
    for (const std::string option : {"-h", "--help"}) {
        TTempFolder scratch;
        const TFetchRun r = RunFetchIn(scratch, {option});
        EXPECT_EQ(r.ExitCode, 0);
        EXPECT_EQ(r.Out.rfind("usage: quillora-fetch ", 0), 0u) << r.Out;
        EXPECT_NE(r.Out.find("-o FILE"), std::string::npos);
        EXPECT_EQ(r.Err, "");
    }
}
