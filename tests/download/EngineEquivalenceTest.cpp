// The commands fetch ahead through kept-alive connections (as many as by
// default, their requests pipelined), or one after another on a fresh client
// each (QUILLORA_CONNECTIONS=0): what the user sees
// must not tell the two apart. Each account of the sample service is looked
// up and downloaded both ways; every host call, log line, bar value, preview,
// warning, thumbnail and file must be the same. And a close while a transfer
// is on its way stops it at once and leaves no temporary file.

#include "catalogue/FakeCommandHost.h"
#include "catalogue/LookupAlbums.h"
#include "download/DownloadAlbums.h"
#include "http/ClientSettings.h"
#include "support/TestServers.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The bundled sample service on a port of its own choosing, which it writes
// into a file; stopped with the object.
class TSampleService {
  public:
    explicit TSampleService(int stallSeconds) {
        const fs::path portFile = FFolder.Path / "port";
        FPid = ::fork();
        if (FPid == 0) {
            const std::string script = std::string(QUILLORA_SOURCE_DIR) + "/tools/sample-service/service.py";
            const std::string stall = std::to_string(stallSeconds);
            ::execlp("python3", "python3", script.c_str(), "--port-file", portFile.c_str(), "--lifetime",
                     "300", "--stall-seconds", stall.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        FPort = WaitForReportedPort(portFile);
    }
    ~TSampleService() {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    int Port() const { return FPort; }

  private:
    TDataRoot FFolder;
    pid_t FPid = -1;
    int FPort = 0;
};

// What a lookup and a download of every album showed and left behind, with
// the private folder's path taken out.
struct TSeen {
    std::vector<std::string> Trace, Warnings, Icons;
    std::string Failure;
    std::map<std::string, std::string> Files;
    bool operator==(const TSeen&) const = default;
};

std::string WithoutRoot(std::string text, const std::string& root) {
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at))
        text.replace(at, root.size(), "<root>");
    return text;
}

TSeen Observe(TFakeCommandHost& host, const TDataRoot& root, const std::string& failure) {
    const std::string prefix = FileNameToGbk(root.Path.string());
    TSeen seen;
    for (const std::string& line : host.Trace)
        seen.Trace.push_back(WithoutRoot(line, prefix));
    seen.Warnings = host.Warnings;
    for (const auto& tile : host.Tiles)
        seen.Icons.push_back(tile.Icon);
    seen.Failure = WithoutRoot(failure, prefix);
    for (const std::string& file : root.Files())
        seen.Files[file] = TFakeCommandHost::ReadFile(FileNameToGbk((root.Path / file).string()));
    return seen;
}

class TEnvironment {
  public:
    TEnvironment(int port, int connections, int readTimeoutMs) {
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
        // Below 0: the default number of connections.
        if (connections >= 0)
            ::setenv("QUILLORA_CONNECTIONS", std::to_string(connections).c_str(), 1);
        else
            ::unsetenv("QUILLORA_CONNECTIONS");
        ::unsetenv("no_proxy");
        SetClientReadTimeout(readTimeoutMs);
    }
    ~TEnvironment() {
        ::unsetenv("http_proxy");
        ::unsetenv("QUILLORA_CONNECTIONS");
        SetClientReadTimeout(0);
    }
};

TSeen LookUpAndDownload(const TSampleService& service, const std::string& account, int connections) {
    TEnvironment environment(service.Port(), connections, 1500);
    TDataRoot root;
    TFakeCommandHost host(root.Tmp(), root.Pic());
    host.Account = account;
    std::string failure;
    try {
        LookupAlbums(host);
        DownloadAlbums(host);
    } catch (const Exception& e) {
        failure = std::string(e.ClassName()) + ": " + e.Message();
    }
    return Observe(host, root, failure);
}

class EngineEquivalence : public ::testing::TestWithParam<std::string> {
  protected:
    static void SetUpTestSuite() { Service = new TSampleService(3); }
    static void TearDownTestSuite() {
        delete Service;
        Service = nullptr;
    }
    static TSampleService* Service;
};

TSampleService* EngineEquivalence::Service = nullptr;

} // namespace

TEST_P(EngineEquivalence, AheadAndOneByOneShowTheSame) {
    ASSERT_NE(Service->Port(), 0) << "the sample service did not start";
    const TSeen oneByOne = LookUpAndDownload(*Service, GetParam(), 0);
    const TSeen ahead = LookUpAndDownload(*Service, GetParam(), -1);
    EXPECT_EQ(ahead.Failure, oneByOne.Failure);
    EXPECT_EQ(ahead.Trace, oneByOne.Trace);
    EXPECT_EQ(ahead.Warnings, oneByOne.Warnings);
    EXPECT_TRUE(ahead.Icons == oneByOne.Icons) << "thumbnails differ";
    EXPECT_EQ(ahead.Files.size(), oneByOne.Files.size());
    EXPECT_TRUE(ahead.Files == oneByOne.Files) << "files differ";
    // Something was really looked up, where there is something.
    if (GetParam() != "empty" && GetParam() != "nobody") {
        EXPECT_FALSE(oneByOne.Files.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(SampleAccounts, EngineEquivalence,
                         ::testing::Values("quillora", "faults", "cutoff", "hostile", "badname", "empty",
                                           "stall", "many100", "nobody"));

namespace {

// A download or lookup closed while a transfer hangs on a silent server. The
// stall and the read time-out are ten minutes, past the test's own time-out:
// without the cancel the workers would hang the test, so no clock is read.
void CloseWhileWaiting(const std::string& account, bool download) {
    TSampleService service(600);
    ASSERT_NE(service.Port(), 0);
    TEnvironment environment(service.Port(), 4, 600000);
    ::setenv("QUILLORA_CONNECTIONS", "4", 1);
    TDataRoot root;
    TFakeCommandHost host(root.Tmp(), root.Pic());
    host.Account = account;
    if (download) {
        ::setenv("QUILLORA_CONNECTIONS", "0", 1);
        LookupAlbums(host);
        ::setenv("QUILLORA_CONNECTIONS", "4", 1);
    }
    // The first look while the stalled body is awaited closes the "window".
    host.OnEvents = [&host] { host.Closed = host.Closed || host.Waits > 0; };
    if (download)
        EXPECT_THROW(DownloadAlbums(host), EAbort);
    else
        EXPECT_THROW(LookupAlbums(host), EAbort);
    for (const std::string& file : root.Files()) {
        EXPECT_EQ(file.find(".quillora"), std::string::npos) << file;
        EXPECT_EQ(file.find(".part"), std::string::npos) << file;
    }
}

} // namespace

TEST(EngineClose, DownloadStopsAtOnceAndLeavesNoTemporaryFile) {
    CloseWhileWaiting("stall", true);
}

TEST(EngineClose, LookupStopsAtOnceAndLeavesNoTemporaryFile) {
    CloseWhileWaiting("stallthumb", false);
}
