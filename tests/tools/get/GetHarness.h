#pragma once
// Runs quillora-get as users do, against the sample service or nginx on
// loopback, in a scratch folder of its own (never beside the program).

#include "support/TestScratch.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

inline std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The whole lines of text, without their line ends (an unfinished last line is left out).
inline std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

inline bool StartsWith(const std::string& text, const std::string& head) {
    return text.rfind(head, 0) == 0;
}

// Every file under dest, relative to it (hidden ones too).
inline std::set<std::string> FilesIn(const fs::path& dest) {
    std::set<std::string> files;
    if (fs::exists(dest))
        for (const auto& entry : fs::recursive_directory_iterator(dest))
            if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), dest).string());
    return files;
}

// A part as a run that stopped leaves it: its bytes, and the record of how
// many of them reached the disk (all of them unless synced says otherwise).
inline void WriteLeftPart(const fs::path& path, const std::string& bytes, long long synced = -1) {
    WriteWhole(path, bytes);
    const std::string length = std::to_string(synced < 0 ? static_cast<long long>(bytes.size()) : synced);
    ::setxattr(path.c_str(), "user.quillora.synced", length.data(), length.size(), 0);
}

inline std::string SourcePath(const std::string& rel) {
    return std::string(QUILLORA_SOURCE_DIR) + "/" + rel;
}

inline std::string Asset(const std::string& name) {
    return ReadWhole(SourcePath("tools/sample-service/assets/" + name));
}

// A child in a process group of its own: killed with everything it started.
class TChild {
  public:
    // inChild runs in the child before it starts the program (limits, signals).
    TChild(const std::vector<std::string>& argv, const fs::path& out = {}, const fs::path& err = {},
           const std::function<void()>& inChild = {}) {
        FPid = ::fork();
        if (FPid != 0) return;
        ::setpgid(0, 0);
        if (inChild) inChild();
        if (!out.empty()) Redirect(out, 1);
        if (!err.empty()) Redirect(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ~TChild() {
        if (FPid <= 0) return;
        ::kill(-FPid, SIGKILL);
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    void Signal(int sig) { ::kill(FPid, sig); }
    pid_t Pid() const { return FPid; }
    // Exit status, or -1 when it did not end in time.
    int Wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            rusage usage{};
            if (::wait4(FPid, &status, WNOHANG, &usage) == FPid) {
                FPid = -1;
                FPeakKb = usage.ru_maxrss;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // The child's peak resident memory, once it has ended.
    long PeakKb() const { return FPeakKb; }

  private:
    static void Redirect(const fs::path& path, int fd) {
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(file, fd);
        ::close(file);
    }
    pid_t FPid = -1;
    long FPeakKb = 0;
};

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A scratch folder for one test, removed afterwards.
class TScratch : public TTestScratch {
  public:
    TScratch() : TTestScratch("quillora-get-") {}
};

// The sample service with its request log, or nginx serving its export.
class TServer {
  public:
    // extra: more options of service.py; nginx: serve the export with nginx instead.
    TServer(const fs::path& folder, std::vector<std::string> extra, bool nginx = false);
    int Port() const { return FPort; }
    std::string Proxy() const { return "127.0.0.1:" + std::to_string(FPort); }
    // Requests seen so far, one line each: method, host, path, range.
    std::vector<std::string> Requests() const;
    void ForgetRequests();

  private:
    void StartSample(std::vector<std::string> extra);
    void StartNginx();
    fs::path FFolder;
    bool FNginx;
    int FPort = 0;
    std::unique_ptr<TChild> FProcess;
};

struct TGetRun {
    int Status = -1;
    std::string Out, Err;
    double Seconds = 0;
    nlohmann::json Report;
    long PeakKb = 0;
};

// Limits the program runs under (0: none).
struct TGetLimits {
    rlim_t FileSize = 0;  // bytes, with SIGXFSZ ignored: a write past it fails as on a full disk
    rlim_t OpenFiles = 0; // descriptors
    bool NoOverride = false; // not even root may write a read-only file
};

// Runs quillora-get with args in folder, through server as its proxy; the
// report (--json report.json) is read back when there is one.
TGetRun RunGet(const fs::path& folder, const TServer& server, std::vector<std::string> args,
               TGetLimits limits = {});
// Starts it without waiting (for the interruption).
std::unique_ptr<TChild> StartGet(const fs::path& folder, const TServer& server, std::vector<std::string> args,
                                 TGetLimits limits = {});
TGetRun FinishGet(const fs::path& folder, TChild& child);
// What docs/quillora-get-report.schema.json finds wrong with a report; empty when it is valid.
std::string SchemaViolations(const fs::path& report);
