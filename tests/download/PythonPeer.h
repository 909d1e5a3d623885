#pragma once
// A Python helper of the tests (the sample service, the chaos relay) on a
// port it reports, stopped with the object; it also stops by itself.

#include "support/TestServers.h"

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

inline std::string TestSource(const std::string& rel) {
    return std::string(QUILLORA_SOURCE_DIR) + "/" + rel;
}

// script is relative to the source tree; its port file goes into folder.
class TPythonPeer {
  public:
    TPythonPeer(const std::string& script, std::vector<std::string> args, const fs::path& folder,
                int lifetimeSeconds = 300) {
        const fs::path portFile = folder / (fs::path(script).stem().string() + ".port");
        args.insert(args.begin(), {"python3", TestSource(script), "--port-file", portFile.string(),
                                   "--lifetime", std::to_string(lifetimeSeconds)});
        FPid = ::fork();
        if (FPid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        FPort = WaitForReportedPort(portFile);
    }
    ~TPythonPeer() {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
    }
    int Port() const { return FPort; }

  private:
    pid_t FPid = -1;
    int FPort = 0;
};
