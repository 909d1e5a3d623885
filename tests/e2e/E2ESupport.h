#pragma once
// The end-to-end harness: a real album service on loopback (the bundled
// sample service, or nginx serving its files), the program's real window,
// and the files it writes into a private folder of the test.

#include "app/AlbumTiles.h"
#include "app/Controls.h"
#include "app/DataFolders.h"
#include "app/mainUnit.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"
#include "http/ClientSettings.h"
#include "support/QtBoxes.h"
#include "support/TestServers.h"

#include "app/LogMemo.h"
#include <QLineEdit>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
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
    pid_t Pid() const { return FPid; }
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

// The sample service, on a port of its choosing, for the whole test program.
inline int StartSampleService(std::unique_ptr<TChildProcess>& keep, double stallSeconds = 4,
                              const std::vector<std::string>& extra = {}) {
    fs::path portFile = fs::temp_directory_path() / ("quillora-svc-" + std::to_string(::getpid()));
    fs::remove(portFile);
    std::vector<std::string> argv{"python3", SourcePath("tools/sample-service/service.py"), "--port-file",
                                  portFile.string(), "--lifetime", "900", "--stall-seconds",
                                  std::to_string(stallSeconds)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    keep = std::make_unique<TChildProcess>(argv);
    const int port = WaitForReportedPort(portFile);
    fs::remove(portFile);
    return port;
}

// nginx serving the sample service's answers as static files, one server
// block per host; as a proxy it picks the block by the absolute target's host.
inline int StartNginx(std::unique_ptr<TChildProcess>& keep, fs::path& folder) {
    folder = fs::temp_directory_path() / ("quillora-nginx-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    if (!ExportSampleService(folder / "tree")) return 0;
    return StartOnSomePort([&](int port) {
        std::ofstream(folder / "nginx.conf") << SampleNginxConfig(folder, folder / "tree", port);
        keep = std::make_unique<TChildProcess>(
            std::vector<std::string>{"nginx", "-p", folder.string(), "-c", (folder / "nginx.conf").string()});
        return keep->Pid();
    });
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
