#pragma once
// Runs quillora-fetch as its own process, standard output and error going to
// the given paths, without the environment's proxy, in folder cwd (when
// given); gives its exit status.

#include "support/RealServers.h"

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline int RunQuilloraFetch(std::vector<std::string> args, const std::string& outPath,
                            const std::string& errPath, const std::string& cwd = "") {
    args.insert(args.begin(), std::string(QUILLORA_BIN_DIR) + "/quillora-fetch");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The environment's proxy must not reach into the test.
        ::unsetenv("http_proxy");
        ::unsetenv("HTTP_PROXY");
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What one run left: its exit status, standard output and standard error.
struct TFetchRun {
    int ExitCode = -1;
    std::string Out, Err;
    std::vector<std::string> Files; // what a run in a folder of its own left there
    std::string LastErrLine() const {
        std::string e = Err;
        while (!e.empty() && e.back() == '\n')
            e.pop_back();
        const size_t at = e.rfind('\n');
        return at == std::string::npos ? e : e.substr(at + 1);
    }
};

// Runs the tool with standard output going to scratch/stdoutName (a file the
// test reads back, or a FIFO it drains) and standard error to scratch/err.
inline TFetchRun RunFetchIn(const TTempFolder& scratch, std::vector<std::string> args,
                            const std::string& stdoutName = "out", const std::string& cwd = "") {
    TFetchRun run;
    run.ExitCode =
        RunQuilloraFetch(std::move(args), scratch.Path() + "/" + stdoutName, scratch.Path() + "/err", cwd);
    run.Out = scratch.ReadFile(stdoutName);
    run.Err = scratch.ReadFile("err");
    return run;
}

inline TFetchRun RunFetch(std::vector<std::string> args) {
    TTempFolder scratch;
    return RunFetchIn(scratch, std::move(args));
}
