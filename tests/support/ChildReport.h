#pragma once
// Runs a body in a forked child and answers what it wrote to the pipe it is
// handed: for tests that need a namespace of their own (which a child can
// enter without touching the test process) or a process-wide state. The body
// ends the child itself (std::_Exit); an exit with skipCode means the child
// found no namespace here, and the test is to be skipped.

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

template <typename F> std::string ReportOfChild(F body, bool& skipped, int skipCode) {
    int pipeFds[2];
    skipped = false;
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child < 0) return "no fork";
    if (child == 0) {
        ::close(pipeFds[0]);
        body(pipeFds[1]);
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "the child did not end well";
    skipped = WEXITSTATUS(status) == skipCode;
    return report;
}
