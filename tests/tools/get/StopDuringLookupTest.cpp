// quillora-get stopped (Ctrl-C) while it looks up the service's name and the
// name server never answers: it ends at once with the stop's exit status
// instead of after the resolver's time-outs. It runs in a network and mount
// namespace of its own with a silent name server, so no name leaves the
// machine.

#include "support/SilentNameServer.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int NoQueryExit = 201; // the lookup never reached the name server
constexpr int KilledExit = 202;  // quillora-get ended by a signal

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[noreturn]] void RunGet(const fs::path& folder) {
    const int out = ::open((folder / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open((folder / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(folder.c_str()) != 0)
        std::_Exit(127);
    ::setenv("HOME", folder.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"})
        ::unsetenv(name);
    const std::string program = std::string(QUILLORA_BIN_DIR) + "/quillora-get";
    ::execl(program.c_str(), "quillora-get", "--list", "quillora", static_cast<char*>(nullptr));
    std::_Exit(127);
}

// The forked child: the namespace, quillora-get in it, and the stop once its
// query has come. Its exit status is quillora-get's.
[[noreturn]] void StopAtTheQuery(const fs::path& folder) {
    const int server = EnterSilentNameServerNamespace();
    if (server < 0) std::_Exit(NoNamespaceExit);
    const pid_t get = ::fork();
    if (get < 0) std::_Exit(127);
    if (get == 0) RunGet(folder);
    pollfd query{server, POLLIN, 0};
    const bool queried = ::poll(&query, 1, 60000) == 1;
    ::kill(get, queried ? SIGINT : SIGKILL);
    int status = 0;
    ::waitpid(get, &status, 0);
    if (!queried) std::_Exit(NoQueryExit);
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : KilledExit);
}

} // namespace

TEST(QuilloraGetStop, AStopDuringTheNameLookupEndsTheRunAtOnce) {
    std::string pattern = (fs::temp_directory_path() / "quillora-get-stop-XXXXXX").string();
    const fs::path folder = ::mkdtemp(pattern.data());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) StopAtTheQuery(folder);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string err = ReadWhole(folder / "stderr.txt");
    const std::string out = ReadWhole(folder / "stdout.txt");
    fs::remove_all(folder);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == NoNamespaceExit)
        GTEST_SKIP() << "no private network namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_EQ(err, "quillora-get: account quillora: Operation cancelled\n");
    EXPECT_EQ(out, "");
}
