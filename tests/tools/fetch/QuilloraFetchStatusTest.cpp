// quillora-fetch follows curl's rules for a reply's status: without -f any
// complete reply is the output and the exit status is 0; -f makes a status of
// 400 and up exit 22 with nothing of the body written; -i writes each head
// before the body, -I only the heads; -w reports the status and the body's
// size. The expected values are curl's (7.88): where curl is installed, it is
// run beside the tool against the same replies and must give them too.

#include "QuilloraFetchRun.h"
#include "http/HttpWireCase.h"
#include "support/RealServers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace wire;

const std::string Head200 = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
const std::string Head301 = "HTTP/1.1 301 Moved Permanently\r\nLocation: /200\r\nContent-Length: 6\r\n\r\n";
const std::string Head404 = "HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\n";
const std::string Head500 = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\n";

// The reply to a request for /<status>, its body left out for a HEAD.
std::string Answer(int status, bool head) {
    switch (status) {
    case 200:
        return head ? Head200 : Head200 + "hello";
    case 301:
        return head ? Head301 : Head301 + "moved\n";
    case 404:
        return head ? Head404 : Head404 + "gone\n";
    default:
        return head ? Head500 : Head500 + "boom\n";
    }
}

bool HasLetter(const std::vector<std::string>& options, char letter) {
    for (const std::string& option : options)
        if (option.size() > 1 && option[0] == '-' && option[1] != '-' &&
            option.find(letter) != std::string::npos)
            return true;
    return false;
}

// One connection: the reply to /<status> and, when -L follows a 301, the 200 it leads to.
TPeerScript ScriptFor(int status, const std::vector<std::string>& options) {
    const bool head = HasLetter(options, 'I');
    TPeerScript script{S::ReadUntil(RequestEnd), S::Send(Answer(status, head))};
    if (status == 301 && HasLetter(options, 'L')) {
        script.push_back(S::ReadUntil(RequestEnd));
        script.push_back(S::Send(Answer(200, head)));
    }
    script.push_back(S::Close());
    return script;
}

bool CurlInstalled() {
    return ::access("/usr/bin/curl", X_OK) == 0;
}

// curl with the same options, its configuration file and the environment's
// proxies left out, silent but for its error line.
TFetchRun RunCurl(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/curl", "-q", "-sS"});
    TTempFolder scratch;
    const std::string out = scratch.Path() + "/out", err = scratch.Path() + "/err";
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(name);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    TFetchRun run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = scratch.ReadFile("out");
    run.Err = scratch.ReadFile("err");
    return run;
}

struct TStatusCase {
    int Status;
    std::vector<std::string> Options;
    int Exit;
    std::string Out;
};

// What a program (quillora-fetch or curl) does with the case's reply.
TFetchRun Play(const TStatusCase& c, bool curl) {
    TScriptedPeer peer(ScriptFor(c.Status, c.Options));
    std::vector<std::string> args = c.Options;
    args.push_back("http://127.0.0.1:" + std::to_string(peer.Port()) + "/" + std::to_string(c.Status));
    return curl ? RunCurl(args) : RunFetch(args);
}

const std::vector<TStatusCase> StatusCases{
    {200, {}, 0, "hello"},
    {200, {"-f"}, 0, "hello"},
    {200, {"-i"}, 0, Head200 + "hello"},
    {200, {"-I"}, 0, Head200},
    {301, {}, 0, "moved\n"},
    {301, {"-f"}, 0, "moved\n"},
    {301, {"--include"}, 0, Head301 + "moved\n"},
    {301, {"-I"}, 0, Head301},
    {301, {"-fI"}, 0, Head301},
    {301, {"-L"}, 0, "hello"},
    {301, {"-fiL"}, 0, Head301 + Head200 + "hello"},
    {301, {"-IL"}, 0, Head301 + Head200},
    {404, {}, 0, "gone\n"},
    {404, {"-f"}, 22, ""},
    {404, {"-i"}, 0, Head404 + "gone\n"},
    {404, {"-I"}, 0, Head404},
    {404, {"-f", "-i"}, 22, Head404},
    {404, {"-fI"}, 22, Head404},
    {404, {"-L"}, 0, "gone\n"},
    {500, {}, 0, "boom\n"},
    {500, {"--fail"}, 22, ""},
    {500, {"-i"}, 0, Head500 + "boom\n"},
    {500, {"-I"}, 0, Head500},
    {500, {"-fi"}, 22, Head500},
    {404, {"-w", "%{http_code} %{size_download}\\n"}, 0, "gone\n404 5\n"},
    {404, {"-f", "-w", "[%{http_code}]"}, 22, "[404]"},
    {404, {"-I", "-w", "%{http_code} %{size_download}"}, 0, Head404 + "404 0"},
    {301, {"-iL", "--write-out", "%{http_code}:%{size_download}%%"}, 0, Head301 + Head200 + "hello200:5%"},
    {200, {"-w", "a\\tb\\\\c\\x%{http_code"}, 0, "helloa\tb\\\\c\\x%{http_code"},
};

} // namespace

TEST(QuilloraFetchStatus, AnyCompleteReplyIsTheOutputUnlessFailAsksOtherwise) {
    for (const TStatusCase& c : StatusCases) {
        SCOPED_TRACE(std::to_string(c.Status) + " " + testing::PrintToString(c.Options));
        const TFetchRun run = Play(c, false);
        EXPECT_EQ(run.ExitCode, c.Exit) << run.Err;
        EXPECT_EQ(run.Out, c.Out);
        EXPECT_EQ(run.Err, c.Exit == 22 ? "EIdHTTPProtocolException: The requested URL returned error: " +
                                              std::to_string(c.Status) + "\n"
                                        : "");
    }
}

TEST(QuilloraFetchStatus, CurlGivesTheSameOutputAndExitStatus) {
    if (!CurlInstalled()) GTEST_SKIP() << "curl is not installed (scripts/setup.sh installs it)";
    for (const TStatusCase& c : StatusCases) {
        SCOPED_TRACE(std::to_string(c.Status) + " " + testing::PrintToString(c.Options));
        const TFetchRun curl = Play(c, true);
        EXPECT_EQ(curl.ExitCode, c.Exit) << curl.Err;
        EXPECT_EQ(curl.Out, c.Out);
        // The same words after curl's own "curl: (22) ".
        if (c.Exit == 22) {
            EXPECT_EQ(curl.Err,
                      "curl: (22) The requested URL returned error: " + std::to_string(c.Status) + "\n");
        }
    }
}

// The whole body of an error reply is written, as curl writes it: not the
// part the client keeps of a body it refuses.
TEST(QuilloraFetchStatus, TheWholeBodyOfALargeErrorReply) {
    const std::string body(300000, 'e');
    TScriptedPeer peer(Reply("HTTP/1.1 404 Not Found\r\nContent-Length: 300000\r\n\r\n" + body));
    const TFetchRun run = RunFetch({"http://127.0.0.1:" + std::to_string(peer.Port()) + "/big"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(run.Out == body) << run.Out.size();

    // With -f nothing of it is written, and the client hangs up without reading it all.
    TPeerStep send = S::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 300000\r\n\r\n" + body);
    send.HangUpExpected = true;
    TScriptedPeer failing(TPeerScript{S::ReadUntil(RequestEnd), send, S::Stall()});
    const TFetchRun failed = RunFetch({"-f", "http://127.0.0.1:" + std::to_string(failing.Port()) + "/big"});
    EXPECT_EQ(failed.ExitCode, 22);
    EXPECT_EQ(failed.Out, "");
}
