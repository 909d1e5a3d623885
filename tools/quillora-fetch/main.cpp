// quillora-fetch: fetches URLs with the program's own HTTP client, like curl.
//
//   quillora-fetch [-v] [-o FILE] [-L] [--max-redirs N] [-u user:password]
//                  [-x [http://]host:port] [-U user:password] [--noproxy LIST]
//                  [--cacert FILE] [-k] URL...
//
// Every URL is fetched in order on one client, so keep-alive and cookies carry
// over from one to the next. The bodies go to FILE or standard output. A
// regular FILE appears only when every fetch succeeded (an older one stays as
// it was otherwise); a device or pipe (/dev/null, /dev/stdout) is written as
// the bytes come. On a failure the last line on standard error is
// "ExceptionClass: message" and the exit status is 1; -h prints the usage.

#include "HelpText.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// An output that only ever grows (standard output, a device, a pipe): it
// cannot seek or be resized, so the position is counted, and sizing ahead of a
// write is not needed there.
class TForwardStream : public TStream {
  public:
    TForwardStream(int fd, std::string name) : FHandle(fd), FName(std::move(name)) {}
    ~TForwardStream() override {
        if (FHandle != STDOUT_FILENO) ::close(FHandle);
    }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        const char* p = static_cast<const char*>(buffer);
        int64_t left = count;
        while (left > 0) {
            const ssize_t n = ::write(FHandle, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw EWriteError(Format("Cannot write to %s. %s", FName.c_str(), std::strerror(errno)));
            p += n;
            left -= n;
        }
        FPosition += count;
        return count;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (origin == TSeekOrigin::soCurrent && offset == 0) return FPosition;
        if (origin == TSeekOrigin::soBeginning && offset == FPosition) return FPosition;
        if (origin == TSeekOrigin::soEnd && offset == 0) return FPosition;
        throw EStreamError(FName + " cannot go back to bytes already written");
    }
    void SetSize(int64_t) override {}
    int64_t Size() override { return FPosition; }

  private:
    int FHandle;
    std::string FName;
    int64_t FPosition = 0;
};

// Where the bodies go. A regular file (or a new one) is written beside its
// name and renamed at the end; anything else is written straight through.
class TOutput {
  public:
    explicit TOutput(const std::string& path) {
        if (path.empty()) {
            FStream = std::make_unique<TForwardStream>(STDOUT_FILENO, "standard output");
            return;
        }
        struct stat st {};
        const bool exists = ::stat(path.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            OpenForward(path);
            return;
        }
        // /dev/stdout and /proc/self/fd/N may lead to a regular file the shell
        // opened: write through it, as there is no folder of ours to rename in.
        if (exists && IsProcessDescriptor(path)) {
            OpenForward(path, O_APPEND);
            return;
        }
        // The file functions take names in the program's code page.
        auto file = std::make_unique<TAtomicFileStream>(FileNameToGbk(exists ? RealPath(path) : path));
        FFile = file.get();
        FStream = std::move(file);
    }
    TStream& Stream() { return *FStream; }
    void Finish() {
        if (FFile) FFile->Commit();
    }

  private:
    void OpenForward(const std::string& path, int flags = 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
        if (fd < 0) RaiseCreateError(FileNameToGbk(path), errno);
        FStream = std::make_unique<TForwardStream>(fd, path);
    }
    static std::string RealPath(const std::string& path) {
        std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
        return real ? std::string(real.get()) : path;
    }
    static bool IsProcessDescriptor(const std::string& path) {
        const std::string real = RealPath(path);
        return path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0 || real.rfind("/proc/", 0) == 0;
    }
    std::unique_ptr<TStream> FStream;
    TAtomicFileStream* FFile = nullptr;
};

struct TOptions {
    bool Verbose = false;
    std::string OutputFile;
    bool FollowRedirects = false;
    int MaxRedirects = -1;
    std::optional<std::string> Credentials;
    std::optional<std::string> Proxy;
    std::optional<std::string> ProxyCredentials;
    std::optional<std::string> NoProxy;
    std::string CACertFile;
    bool Insecure = false;
    std::vector<std::string> Urls;
};

const char* const UsageLine = "usage: quillora-fetch [-v] [-o FILE] [-L] [--max-redirs N] [-u user:password] "
                              "[-x [http://]host:port] [-U user:password] [--noproxy LIST] [--cacert FILE] [-k] URL...\n";

[[noreturn]] void Usage(const char* problem) {
    std::fprintf(stderr, "quillora-fetch: %s\n%s", problem, UsageLine);
    std::exit(2);
}

[[noreturn]] void Help() {
    std::printf("%s\n%s", UsageLine, HelpText);
    std::exit(0);
}

TOptions ParseArguments(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("option " + arg + " needs a value").c_str());
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help")
            Help();
        else if (arg == "--version") {
            std::printf("quillora-fetch (QuilloraDownLoad) %s\n", QUILLORA_VERSION);
            std::exit(0);
        } else if (arg == "-v")
            o.Verbose = true;
        else if (arg == "-o")
            o.OutputFile = value();
        else if (arg == "-L")
            o.FollowRedirects = true;
        else if (arg == "--max-redirs") {
            const std::string n = value();
            char* end = nullptr;
            const long v = std::strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || v < 0 || v > 1000000) Usage("--max-redirs needs a number");
            o.MaxRedirects = static_cast<int>(v);
        } else if (arg == "-u")
            o.Credentials = value();
        else if (arg == "-x")
            o.Proxy = value();
        else if (arg == "-U")
            o.ProxyCredentials = value();
        else if (arg == "--noproxy")
            o.NoProxy = value();
        else if (arg == "--cacert")
            o.CACertFile = value();
        else if (arg == "-k" || arg == "--insecure")
            o.Insecure = true;
        else if (arg.size() > 1 && arg[0] == '-')
            Usage(("unknown option " + arg).c_str());
        else
            o.Urls.push_back(arg);
    }
    if (o.Urls.empty()) Usage("no URL given");
    return o;
}

void SplitCredentials(const std::string& text, std::string& user, std::string& password) {
    const size_t colon = text.find(':');
    user = text.substr(0, colon);
    password = colon == std::string::npos ? std::string() : text.substr(colon + 1);
}

void PrintLines(char mark, const std::string& first, const TIdHeaderList& lines) {
    std::fprintf(stderr, "%c %s\n", mark, first.c_str());
    for (int k = 0; k < lines.Count(); ++k)
        if (!lines[k].empty()) std::fprintf(stderr, "%c %s\n", mark, lines[k].c_str());
    std::fprintf(stderr, "%c\n", mark);
}

void SetUpClient(TIdHTTP& client, const TOptions& o) {
    if (o.Verbose) {
        client.OnStatus = [](TIdComponent*, TIdStatus, const std::string& text) {
            std::fprintf(stderr, "* %s\n", text.c_str());
        };
        client.OnRequestWritten = [](TIdComponent*, const std::string& line, const TIdHeaderList& headers) {
            PrintLines('>', line, headers);
        };
        client.OnReplyHeaders = [](TIdComponent*, const std::string& line, const TIdHeaderList& headers) {
            PrintLines('<', line, headers);
        };
    }
    client.HandleRedirects = o.FollowRedirects;
    // curl counts the redirects it follows; the client counts requests.
    if (o.MaxRedirects >= 0) client.RedirectMaximum = o.MaxRedirects + 1;
    if (o.Credentials) {
        std::string user, password;
        SplitCredentials(*o.Credentials, user, password);
        client.HTTPOptions |= hoInProcessAuth;
        client.OnAuthorization = [user, password](TIdComponent*, TIdAuthentication* auth, bool& handled) {
            auth->SetUserName(user);
            auth->SetPassword(password);
            handled = true;
        };
    }
}

// The environment's proxy (through the program's settings) unless the
// command line names one or a bypass list of its own.
void ApplyProxy(TIdHTTP& client, const TOptions& o, const std::string& url) {
    ApplyClientSettings(client, url);
    if (!o.Proxy && !o.ProxyCredentials && !o.NoProxy) return;
    std::optional<TProxySetting> proxy;
    if (o.Proxy) {
        proxy = ParseProxySetting(*o.Proxy);
    } else if (!client.ProxyParams.ProxyServer().empty() || o.NoProxy) {
        const bool https = SameText(TIdURI(url).Scheme, "https");
        const char* env = std::getenv(https ? "https_proxy" : "http_proxy");
        if (env == nullptr || *env == '\0') env = std::getenv(https ? "HTTPS_PROXY" : "HTTP_PROXY");
        if (env != nullptr && *env != '\0') proxy = ParseProxySetting(env);
    }
    if (proxy && o.NoProxy && ProxyBypassed(TIdURI(url).HostName, *o.NoProxy)) proxy.reset();
    if (!proxy) {
        client.ProxyParams.SetProxyServer("");
        client.ProxyParams.SetProxyPort(0);
        return;
    }
    client.ProxyParams.SetProxyServer(proxy->Host);
    client.ProxyParams.SetProxyPort(proxy->Port);
    std::string user = proxy->User, password = proxy->Password;
    if (o.ProxyCredentials) SplitCredentials(*o.ProxyCredentials, user, password);
    client.ProxyParams.ProxyUsername = user;
    client.ProxyParams.ProxyPassword = password;
    client.ProxyParams.BasicAuthentication = !user.empty();
    if (!user.empty())
        client.OnProxyAuthorization = [user, password](TIdComponent*, TIdAuthentication* auth,
                                                       bool& handled) {
            auth->SetUserName(user);
            auth->SetPassword(password);
            handled = true;
        };
}

// https for every fetch: the system's trust store, or the one bundle named;
// no verification only when asked for by name.
void SetUpTls(const TOptions& o) {
    if (o.Insecure) std::fprintf(stderr, "quillora-fetch: warning: certificates are not verified (-k)\n");
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{o.CACertFile, !o.Insecure}));
}

int Run(const TOptions& o) {
    SetUpTls(o);
    TOutput output(o.OutputFile);
    TIdHTTP client;
    SetUpClient(client, o);
    for (const std::string& url : o.Urls) {
        ApplyProxy(client, o, url);
        client.FetchToStream(url, output.Stream());
    }
    output.Finish();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseArguments(argc, argv);
    try {
        return Run(options);
    } catch (const Exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "EOutOfMemory: Out of memory\n");
    }
    return 1;
}
