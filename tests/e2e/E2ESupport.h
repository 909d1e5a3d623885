#pragma once
// The end-to-end harness: a real album service on loopback (the bundled
// sample service, or nginx serving its files), the program's real window,
// and the files it writes into a private folder of the test.

#include "app/Controls.h"
#include "app/DataFolders.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "app/mainUnit.h"
#include "app/AlbumTiles.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"
#include "http/ClientSettings.h"
#include "support/QtBoxes.h"

#include "app/LogMemo.h"
#include <QLineEdit>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

// A child process that is killed when the object goes.
class TChildProcess {
  public:
    explicit TChildProcess(std::vector<std::string> argv) {
        FPid = ::fork();
        if (FPid == 0) {
            ::setpgid(0, 0);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    ~TChildProcess() {
        if (FPid > 0) {
            ::kill(-FPid, SIGKILL);
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }

  private:
    pid_t FPid = -1;
};

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string SourcePath(const std::string& rel) {
    return std::string(QUILLORA_SOURCE_DIR) + "/" + rel;
}

// Waits for a file that a server writes once it listens; returns its text.
inline std::string WaitForFile(const fs::path& path, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (fs::exists(path) && fs::file_size(path) > 0) return ReadFile(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

inline int FreePort() {
    // Bind port 0, read the port back, let it go: good enough on a quiet loopback.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Waits until something accepts connections on the port.
inline bool WaitForPort(int port, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The sample service, started on a free port for the whole test program.
inline int StartSampleService(std::unique_ptr<TChildProcess>& keep, double stallSeconds = 4) {
    fs::path portFile = fs::temp_directory_path() / ("quillora-svc-" + std::to_string(::getpid()));
    fs::remove(portFile);
    keep = std::make_unique<TChildProcess>(std::vector<std::string>{
        "python3", SourcePath("tools/sample-service/service.py"), "--port-file", portFile.string(),
        "--lifetime", "900", "--stall-seconds", std::to_string(stallSeconds)});
    std::string port = WaitForFile(portFile);
    fs::remove(portFile);
    return port.empty() ? 0 : std::stoi(port);
}

// nginx serving the sample service's answers as static files, one server
// block per host; as a proxy it picks the block by the absolute target's host.
inline int StartNginx(std::unique_ptr<TChildProcess>& keep, fs::path& folder) {
    folder = fs::temp_directory_path() / ("quillora-nginx-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "logs");
    fs::create_directories(folder / "tree");
    std::string exportCmd = "python3 '" + SourcePath("tools/sample-service/service.py") + "' --export '" +
                            (folder / "tree").string() + "'";
    if (std::system(exportCmd.c_str()) != 0) return 0;
    int port = FreePort();
    std::ofstream conf(folder / "nginx.conf");
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (folder / "nginx.pid").string()
         << ";\nerror_log " << (folder / "logs/error.log").string()
         << ";\nevents { worker_connections 256; }\n"
         << "http {\n access_log off;\n default_type text/html;\n"
         << " types { image/jpeg jpg; image/png png; application/x-javascript js; }\n"
         << " client_body_temp_path " << (folder / "tmp").string() << ";\n proxy_temp_path "
         << (folder / "tmp").string() << ";\n fastcgi_temp_path " << (folder / "tmp").string()
         << ";\n uwsgi_temp_path " << (folder / "tmp").string() << ";\n scgi_temp_path "
         << (folder / "tmp").string() << ";\n";
    for (const auto& host : fs::directory_iterator(folder / "tree")) {
        conf << " server { listen 127.0.0.1:" << port << "; server_name " << host.path().filename().string()
             << "; root " << host.path().string() << "; }\n";
    }
    conf << "}\n";
    conf.close();
    keep = std::make_unique<TChildProcess>(
        std::vector<std::string>{"nginx", "-p", folder.string(), "-c", (folder / "nginx.conf").string()});
    return WaitForPort(port) ? port : 0;
}

// The real window with its tmp/ and Pic/ in a private folder: Base/program/
// stands for the program's folder, so that whatever escaped it would land in
// Base, which the test can watch.
class TWindowSession {
  public:
    TWindowSession() {
        TestApplication();
        // A parameterised test's name holds a "/", which must not make a sub-folder.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        Base = fs::temp_directory_path() / ("quillora-e2e-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(Base);
        Program = Base / "program";
        fs::create_directories(Program);
        OverrideDataRootForTests(Program.string() + "/");
        Form = std::make_unique<TfrmMain>();
        frmMain = Form.get();
        Form->show();
        QApplication::processEvents();
    }
    ~TWindowSession() {
        Form->FreeAlbumTiles();
        frmMain = nullptr;
        Form.reset();
        OverrideDataRootForTests("");
        fs::remove_all(Base);
    }
    void Lookup(const QString& account) {
        Form->edtUserName->setText(account);
        Form->btn1->click();
    }
    QStringList Log() const { return Form->mmo1->Text().split('\n'); }
    bool LogHas(const QString& line) const {
        for (const QString& l : Log())
            if (l.endsWith(line)) return true;
        return false;
    }
    fs::path Pic(const std::string& utf8) const { return Program / "Pic" / fs::u8path(utf8); }

    fs::path Base, Program;
    std::unique_ptr<TfrmMain> Form;
};

inline std::string Asset(const std::string& name) {
    return ReadFile(SourcePath("tools/sample-service/assets/" + name));
}
