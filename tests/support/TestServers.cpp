#include "support/TestServers.h"

#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Polls done every few milliseconds until it holds or the time is up.
bool PollUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The port in text right after `before`, 0 when there is none yet.
int PortAfter(const std::string& text, const std::string& before) {
    const size_t at = text.find(before);
    if (at == std::string::npos) return 0;
    size_t digits = at + before.size();
    int port = 0;
    for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) && port < 65536;
         ++digits)
        port = port * 10 + (text[digits] - '0');
    return port < 65536 ? port : 0;
}

// A port that was free a moment ago; the caller must cope with losing it.
int RecentlyFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

// The socket inodes process pid holds open.
std::set<std::string> SocketInodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

// Ended, or a zombie nobody has waited for yet.
bool Gone(pid_t pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
}

} // namespace

int WaitForReportedPort(const fs::path& file, const std::string& before, int timeoutMs) {
    int port = 0;
    PollUntil([&] { return (port = PortAfter(ReadText(file), before)) > 0; }, timeoutMs);
    return port;
}

std::string ExchangeOnce(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<size_t>(got));
    }
    if (fd >= 0) ::close(fd);
    return reply;
}

bool ExportSampleService(const fs::path& tree) {
    const std::string command = "python3 '" + std::string(QUILLORA_SOURCE_DIR) +
                                "/tools/sample-service/service.py' --export '" + tree.string() + "'";
    return std::system(command.c_str()) == 0;
}

std::string SampleNginxConfig(const fs::path& folder, const fs::path& tree, int port,
                              const fs::path& requestLog) {
    const std::string tmp = (folder / "tmp").string();
    fs::create_directories(tmp);
    std::ostringstream conf;
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (folder / "nginx.pid").string()
         << ";\nerror_log " << (folder / "error.log").string() << ";\nevents { worker_connections 256; }\n"
         << "http {\n log_format q '$request_method $host $uri $http_range';\n access_log "
         << (requestLog.empty() ? std::string("off") : requestLog.string() + " q") << ";\n"
         << " default_type text/html;\n types { image/jpeg jpg; image/png png; application/x-javascript js; "
            "}\n"
         << " client_body_temp_path " << tmp << ";\n proxy_temp_path " << tmp << ";\n fastcgi_temp_path "
         << tmp << ";\n uwsgi_temp_path " << tmp << ";\n scgi_temp_path " << tmp << ";\n";
    for (const auto& host : fs::directory_iterator(tree))
        conf << " server { listen 127.0.0.1:" << port << "; server_name " << host.path().filename().string()
             << "; root " << host.path().string() << "; }\n";
    conf << "}\n";
    return conf.str();
}

bool ListensOn(pid_t pid, int port) {
    const std::set<std::string> inodes = SocketInodes(pid);
    std::istringstream table(ReadText("/proc/net/tcp"));
    std::string line;
    std::getline(table, line); // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
            inode;
        if (address.size() == 13 && address.compare(0, 9, "0100007F:") == 0 &&
            std::stoi(address.substr(9), nullptr, 16) == port && state == "0A" && inodes.count(inode))
            return true;
    }
    return false;
}

int StartOnSomePort(const std::function<pid_t(int port)>& start, int attempts, int timeoutMs) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int port = RecentlyFreePort();
        if (port == 0) continue;
        const pid_t pid = start(port);
        if (pid <= 0) return 0;
        bool up = false;
        PollUntil([&] { return (up = ListensOn(pid, port)) || Gone(pid); }, timeoutMs);
        if (up) return port;
    }
    return 0;
}
