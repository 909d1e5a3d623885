#include "RealServers.h"

#include "TestServers.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

TTempFolder::TTempFolder() {
    char name[] = "/tmp/quillora-http-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = name;
    // Server workers may run under another user.
    std::filesystem::permissions(
        FPath, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                   std::filesystem::perms::others_exec);
}

TTempFolder::~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

void TTempFolder::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream out(FPath + "/" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
}

std::string TTempFolder::ReadFile(const std::string& name) const {
    std::ifstream in(FPath + "/" + name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    FPid = ::fork();
    if (FPid < 0) throw std::runtime_error("fork failed");
    if (FPid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

TChildProcess::~TChildProcess() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    for (int k = 0; k < 200; ++k) {
        if (::waitpid(FPid, nullptr, WNOHANG) == FPid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
}

// Port 0: the server binds a port of its own and names it in its first line.
TPythonServer::TPythonServer() {
    const std::string log = FState.Path() + "/python.log";
    FProcess = std::make_unique<TChildProcess>(std::vector<std::string>{"python3", "-u", "-m", "http.server",
                                                                        "0", "--bind", "127.0.0.1",
                                                                        "--directory", FRoot.Path()},
                                               log);
    FPort = WaitForReportedPort(log, " port ");
    if (FPort == 0) throw std::runtime_error("python3 http.server did not start");
}

TNginxServer::TNginxServer() {
    FPort = StartOnSomePort([this](int port) { return Start(port); });
    if (FPort == 0) throw std::runtime_error("nginx did not start: " + FState.ReadFile("error.log"));
}

TNginxServer::TNginxServer(TNginxTls tls) : FTls(std::move(tls)) {
    FPort = StartOnSomePort([this](int port) { return Start(port); });
    if (FPort == 0) throw std::runtime_error("nginx did not start: " + FState.ReadFile("error.log"));
}

pid_t TNginxServer::Start(int port) {
    const std::string s = FState.Path();
    std::ostringstream conf;
    conf << "worker_processes 1;\n"
         << (::geteuid() == 0 ? "user root;\n" : "") << "pid " << s << "/nginx.pid;\n"
         << "error_log " << s << "/error.log;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log off;\n"
         << "  client_body_temp_path " << s << "/body;\n  proxy_temp_path " << s << "/proxy;\n"
         << "  fastcgi_temp_path " << s << "/fastcgi;\n  uwsgi_temp_path " << s << "/uwsgi;\n"
         << "  scgi_temp_path " << s << "/scgi;\n"
         << "  keepalive_requests 100000;\n"
         << "  server {\n    listen 127.0.0.1:" << port << (FTls.Cert.empty() ? "" : " ssl") << ";\n"
         << "    root " << FRoot.Path() << ";\n";
    if (!FTls.Cert.empty())
        conf << "    ssl_certificate " << FTls.Cert << ";\n    ssl_certificate_key " << FTls.Key << ";\n"
             << "    ssl_protocols " << FTls.Protocols << ";\n    ssl_ciphers " << FTls.Ciphers << ";\n";
    conf << "  }\n}\n";
    FState.WriteFile("nginx.conf", conf.str());
    FProcess = std::make_unique<TChildProcess>(std::vector<std::string>{"nginx", "-e", s + "/error.log", "-p",
                                                                        s, "-c", s + "/nginx.conf", "-g",
                                                                        "daemon off;"},
                                               s + "/nginx.out");
    return FProcess->Pid();
}

std::string CurlFetch(const std::string& url, const TTempFolder& scratch) {
    const std::string out = scratch.Path() + "/curl.out";
    const std::string command = "curl -s -o '" + out + "' '" + url + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("curl failed: " + command);
    return scratch.ReadFile("curl.out");
}
