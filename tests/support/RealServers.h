#pragma once
// Real HTTP servers that nobody here wrote, for comparing the client with
// curl: Python's http.server and nginx, each on a loopback port of its own
// (see TestServers.h), serving
// a private temporary folder, and stopped (with their folder) by the test.

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// A private folder under /tmp, removed with everything in it.
class TTempFolder {
  public:
    TTempFolder();
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::string& Path() const { return FPath; }
    void WriteFile(const std::string& name, const std::string& bytes) const;
    std::string ReadFile(const std::string& name) const;

  private:
    std::string FPath;
};

// A child process that dies with the test process at the latest.
class TChildProcess {
  public:
    TChildProcess(const std::vector<std::string>& argv, const std::string& logFile);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    pid_t Pid() const { return FPid; }

  private:
    pid_t FPid = -1;
};

class TRealServer {
  public:
    virtual ~TRealServer() = default;
    int Port() const { return FPort; }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + "/" + name;
    }
    // The document folder.
    const TTempFolder& Root() const { return FRoot; }

  protected:
    TTempFolder FRoot;
    TTempFolder FState;
    int FPort = 0;
};

class TPythonServer : public TRealServer {
  public:
    TPythonServer();

  private:
    std::unique_ptr<TChildProcess> FProcess;
};

// nginx serving https: a certificate and key (PEM files), the protocols it
// accepts and its cipher list (nginx's names).
struct TNginxTls {
    std::string Cert;
    std::string Key;
    std::string Protocols = "TLSv1.2 TLSv1.3";
    std::string Ciphers = "HIGH:!aNULL";
};

class TNginxServer : public TRealServer {
  public:
    TNginxServer();
    explicit TNginxServer(TNginxTls tls);
    std::string HttpsUrl(const std::string& name, const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(FPort) + "/" + name;
    }

  private:
    TNginxTls FTls;
    // Starts nginx on port (replacing an attempt that lost its port); its process id.
    pid_t Start(int port);
    std::unique_ptr<TChildProcess> FProcess;
};

// What curl fetches from url (its body), through a file.
std::string CurlFetch(const std::string& url, const TTempFolder& scratch);
