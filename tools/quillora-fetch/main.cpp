// quillora-fetch: fetches URLs with the program's own HTTP client, like curl.
//
//   quillora-fetch [-v] [-o FILE] [-L] [--max-redirs N] [-u user:password]
//                  [-x [http://]host:port] [-U user:password] [--noproxy LIST] URL...
//
// Every URL is fetched in order on one client, so keep-alive and cookies carry
// over from one to the next. The bodies go to FILE or standard output. On a
// failure the last line on standard error is "ExceptionClass: message" and
// the exit status is 1.

#include "core/Classes.h"
#include "core/Exceptions.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Standard output as a stream that only ever grows: a pipe cannot seek, so the
// position is counted, and sizing ahead of a write is not needed there.
class TStdoutStream : public TStream {
  public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        const char* p = static_cast<const char*>(buffer);
        int64_t left = count;
        while (left > 0) {
            const ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw EWriteError(Format("Cannot write to standard output. %s", std::strerror(errno)));
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
        throw EStreamError("Standard output cannot go back to bytes already written");
    }
    void SetSize(int64_t) override {}
    int64_t Size() override { return FPosition; }

  private:
    int64_t FPosition = 0;
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
    std::vector<std::string> Urls;
};

[[noreturn]] void Usage(const char* problem) {
    std::fprintf(stderr,
                 "quillora-fetch: %s\nusage: quillora-fetch [-v] [-o FILE] [-L] [--max-redirs N] "
                 "[-u user:password] [-x [http://]host:port] [-U user:password] [--noproxy LIST] URL...\n",
                 problem);
    std::exit(2);
}

TOptions ParseArguments(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("option " + arg + " needs a value").c_str());
            return argv[++i];
        };
        if (arg == "-v")
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
        const char* env = std::getenv("http_proxy");
        if (env == nullptr || *env == '\0') env = std::getenv("HTTP_PROXY");
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

int Run(const TOptions& o) {
    std::unique_ptr<TStream> output;
    if (!o.OutputFile.empty())
        output = std::make_unique<TFileStream>(o.OutputFile, TFileMode::fmCreate);
    else
        output = std::make_unique<TStdoutStream>();
    TIdHTTP client;
    SetUpClient(client, o);
    for (const std::string& url : o.Urls) {
        ApplyProxy(client, o, url);
        client.FetchToStream(url, *output);
    }
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
