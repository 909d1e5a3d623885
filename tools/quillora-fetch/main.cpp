// quillora-fetch: fetches URLs with the program's own HTTP client, like curl.
//
//   quillora-fetch [-v] [-s] [-S] [-f] [-I] [-o FILE] [-O] [-L] [--location-trusted]
//                  [--max-redirs N] [-H 'Name: value'] [-u user:password]
//                  [-x [http://]host:port] [-U user:password] [--noproxy LIST]
//                  [--cacert FILE] [-k] URL...
//
// Every URL is fetched in order on one client, so keep-alive and cookies carry
// over from one to the next. The bodies go to FILE, standard output, or with
// -O to files named like the URLs. A regular file appears only when its
// fetches succeeded (an older one stays as it was otherwise); a device or
// pipe (/dev/null, /dev/stdout) is written as the bytes come. On a failure
// the last line on standard error is "ExceptionClass: message" and the exit
// status is 1 (22 for an HTTP error with -f); -h prints the usage.

#include "../common/NetworkError.h"
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
        if (path.empty() || path == "-") {
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
    bool Silent = false, ShowError = false; // -s, -S
    bool Fail = false;                      // -f: an HTTP error is exit status 22
    bool Head = false;                      // -I
    std::string OutputFile;
    int RemoteNames = 0; // -O given this often: the first URLs saved under their own names
    bool FollowRedirects = false;
    bool LocationTrusted = false; // credentials go on to other origins
    int MaxRedirects = -1;
    std::optional<std::string> Credentials;
    std::optional<std::string> Proxy;
    std::optional<std::string> ProxyCredentials;
    std::optional<std::string> NoProxy;
    std::vector<std::string> Headers; // -H, as typed
    std::string CACertFile;
    bool Insecure = false;
    std::vector<std::string> Urls;
};

const char* const UsageLine =
    "usage: quillora-fetch [-v] [-s] [-S] [-f] [-I] [-o FILE] [-O] [-L] [--location-trusted] [--max-redirs "
    "N] "
    "[-H 'Name: value'] [-u user:password] [-x [http://]host:port] [-U user:password] "
    "[--noproxy LIST] [--cacert FILE] [-k] URL...\n";

[[noreturn]] void Usage(const std::string& problem) {
    std::fprintf(stderr, "quillora-fetch: %s\n%s", problem.c_str(), UsageLine);
    std::exit(2);
}

[[noreturn]] void Help() {
    std::printf("%s\n%s", UsageLine, HelpText);
    std::exit(0);
}

// The long forms, and the short options that take a value.
const std::vector<std::pair<std::string, std::string>> LongNames{
    {"--silent", "-s"},      {"--show-error", "-S"}, {"--fail", "-f"},   {"--head", "-I"},
    {"--remote-name", "-O"}, {"--header", "-H"},     {"--output", "-o"}, {"--location", "-L"},
    {"--verbose", "-v"},     {"--user", "-u"},       {"--proxy", "-x"},  {"--proxy-user", "-U"}};
const std::string ValueLetters = "ouxUH";
const std::string FlagLetters = "vsSfIOLk";

// "-sSfL" is "-s -S -f -L"; a letter that takes a value takes the rest of
// the word ("-ofile") or the next argument, as curl reads them.
std::vector<std::string> ExpandArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        for (const auto& [name, letter] : LongNames)
            if (arg == name) arg = letter;
        const bool cluster =
            arg.size() > 2 && arg[0] == '-' && arg[1] != '-' &&
            (FlagLetters.find(arg[1]) != std::string::npos || ValueLetters.find(arg[1]) != std::string::npos);
        if (!cluster) {
            args.push_back(arg);
            continue;
        }
        for (size_t k = 1; k < arg.size(); ++k) {
            args.push_back(std::string("-") + arg[k]);
            if (ValueLetters.find(arg[k]) != std::string::npos) {
                if (k + 1 < arg.size()) args.push_back(arg.substr(k + 1));
                break;
            }
            if (FlagLetters.find(arg[k]) == std::string::npos)
                Usage("unknown option -" + std::string(1, arg[k]));
        }
    }
    return args;
}

// The file -O saves url under: the last segment of its path, as curl takes
// it; empty when there is none to take.
std::string RemoteName(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    const size_t scheme = path.find("://");
    path = scheme == std::string::npos ? path : path.substr(scheme + 3);
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    return name == "." || name == ".." ? std::string() : name;
}

void CheckOptions(TOptions& o) {
    if (o.Urls.empty()) Usage("no URL given");
    for (int k = 0; k < o.RemoteNames && k < static_cast<int>(o.Urls.size()); ++k)
        if (RemoteName(o.Urls[static_cast<size_t>(k)]).empty())
            Usage("-O: " + o.Urls[static_cast<size_t>(k)] + " names no file to save to");
    for (const std::string& header : o.Headers) {
        const size_t colon = header.find_first_of(":;");
        if (colon == 0 || colon == std::string::npos || header.find_first_of("\r\n") != std::string::npos ||
            header.substr(0, colon).find_first_of(" \t") != std::string::npos)
            Usage("-H: \"" + header + "\" is no header (Name: value)");
        // The framing and the route are the client's to say.
        for (const char* own :
             {"Host", "Connection", "Proxy-Connection", "Content-Length", "Range", "Transfer-Encoding"})
            if (SameText(header.substr(0, colon), own))
                Usage("-H: " + std::string(own) + " is set by the client");
    }
}

void TakeFlag(TOptions& o, const std::string& arg) {
    if (arg == "-v")
        o.Verbose = true;
    else if (arg == "-s")
        o.Silent = true;
    else if (arg == "-S")
        o.ShowError = true;
    else if (arg == "-f")
        o.Fail = true;
    else if (arg == "-I")
        o.Head = true;
    else if (arg == "-O")
        ++o.RemoteNames;
    else if (arg == "-L")
        o.FollowRedirects = true;
    else if (arg == "--location-trusted")
        o.FollowRedirects = o.LocationTrusted = true;
    else if (arg.size() > 1 && arg[0] == '-')
        Usage("unknown option " + arg);
    else
        o.Urls.push_back(arg);
}

TOptions ParseArguments(int argc, char** argv) {
    TOptions o;
    const std::vector<std::string> args = ExpandArguments(argc, argv);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) Usage("option " + arg + " needs a value");
            return args[++i];
        };
        if (arg == "-h" || arg == "--help")
            Help();
        else if (arg == "--version") {
            std::printf("quillora-fetch (QuilloraDownLoad) %s\n", QUILLORA_VERSION);
            std::exit(0);
        } else if (arg == "-o")
            o.OutputFile = value();
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
        else if (arg == "-H")
            o.Headers.push_back(value());
        else if (arg == "--cacert")
            o.CACertFile = value();
        else if (arg == "-k" || arg == "--insecure")
            o.Insecure = true;
        else
            TakeFlag(o, arg);
    }
    CheckOptions(o);
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

// The header lines of a reply as curl -I writes them.
void WriteHead(TStream& out, const std::string& first, const TIdHeaderList& lines) {
    std::string text = first + "\r\n";
    for (int k = 0; k < lines.Count(); ++k)
        if (!lines[k].empty()) text += lines[k] + "\r\n";
    out.WriteText(text + "\r\n");
}

// The connection steps; a disconnect is shown only of a connection that was
// made (the client also disconnects, to be sure, before its first one).
void ShowSteps(TIdHTTP& client) {
    client.OnStatus = [connected = false](TIdComponent*, TIdStatus status, const std::string& text) mutable {
        if (status == hsConnected) connected = true;
        if ((status == hsDisconnecting || status == hsDisconnected) && !connected) return;
        if (status == hsDisconnected) connected = false;
        std::fprintf(stderr, "* %s\n", text.c_str());
    };
}

// -H "Name: value" replaces the client's own header of that name, "Name:"
// leaves it out, "Name;" sends it empty; any other name is added.
void ApplyHeaders(TIdHTTP& client, const std::vector<std::string>& headers) {
    TIdHTTPRequest& request = client.Request();
    const std::vector<std::pair<const char*, std::string*>> fields{
        {"Accept", &request.Accept},
        {"Accept-Charset", &request.AcceptCharSet},
        {"Accept-Encoding", &request.AcceptEncoding},
        {"Accept-Language", &request.AcceptLanguage},
        {"From", &request.From},
        {"Referer", &request.Referer},
        {"User-Agent", &request.UserAgent},
        {"Content-Type", &request.ContentType},
        {"Cache-Control", &request.CacheControl},
        {"Pragma", &request.Pragma}};
    for (const std::string& header : headers) {
        const size_t colon = header.find_first_of(":;");
        const std::string name = header.substr(0, colon);
        std::string value = TextTrim(header.substr(colon + 1));
        const bool empty = header[colon] == ';';
        bool known = false;
        for (const auto& [field, text] : fields)
            if (SameText(name, field)) {
                *text = value;
                known = true;
            }
        if (known) continue;
        if (empty)
            request.CustomHeaders.Add(name + ":");
        else if (!value.empty())
            request.CustomHeaders.Add(name + ": " + value);
    }
}

// heads: where -I writes the replies' headers (the output of the URL being fetched).
void SetUpClient(TIdHTTP& client, const TOptions& o, TStream* const* heads) {
    if (o.Verbose) {
        ShowSteps(client);
        client.OnRequestWritten = [](TIdComponent*, const std::string& line, const TIdHeaderList& headers) {
            PrintLines('>', line, headers);
        };
    }
    if (o.Verbose || o.Head)
        client.OnReplyHeaders = [verbose = o.Verbose, heads](TIdComponent*, const std::string& line,
                                                             const TIdHeaderList& headers) {
            if (verbose) PrintLines('<', line, headers);
            if (*heads) WriteHead(**heads, line, headers);
        };
    ApplyHeaders(client, o.Headers);
    client.HandleRedirects = o.FollowRedirects;
    // -u and the credentials of -H go to the origin of each URL given, not
    // to the others a redirect leads to (as with curl), unless trusted.
    client.CredentialsFollowRedirects = o.LocationTrusted;
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

// The program's proxy rule (ClientSettings' ProxyFor, asked again on every
// redirect hop) with what the command line says instead: -x for http and
// https alike, --noproxy for no_proxy, -U for the proxy's credentials.
void ApplyProxy(TIdHTTP& client, const TOptions& o, const std::string& url) {
    ApplyClientSettings(client, url);
    TProxyRule rule = ClientProxyRule();
    if (o.Proxy) rule.HttpProxy = rule.HttpsProxy = *o.Proxy;
    if (o.NoProxy) rule.NoProxy = *o.NoProxy;
    if (o.ProxyCredentials) {
        rule.OwnCredentials = true;
        SplitCredentials(*o.ProxyCredentials, rule.User, rule.Password);
    }
    UseProxyRule(client, rule, url);
    // A proxy's challenge is answered with the credentials of the proxy
    // the request goes through.
    client.OnProxyAuthorization = [&client, rule](TIdComponent*, TIdAuthentication* auth, bool& handled) {
        const TIdURI& target = client.CurrentUrl();
        const std::optional<TProxySetting> proxy = ProxyFor(rule, target.Scheme, target.HostName);
        if (!proxy || proxy->User.empty()) return;
        auth->SetUserName(proxy->User);
        auth->SetPassword(proxy->Password);
        handled = true;
    };
}

// Why a fetch failed, on one line: the URL first when there were several,
// and the host (and proxy) of a network failure. An HTTP error reply is the
// server's word, not the network's: its status line stands alone.
std::string FailureText(const Exception& e, const TOptions& o, const std::string& url,
                        const std::string& proxy) {
    std::string text;
    if (IsNetworkFailure(e))
        text = NetworkErrorText(e.Message(), TIdURI(url).HostName, proxy);
    else
        text = JoinedLines(e.Message());
    return o.Urls.size() > 1 ? url + ": " + text : text;
}

std::string ProxyOf(TIdHTTP& client) {
    const std::string host = client.ProxyParams.ProxyServer();
    return host.empty() ? host : UrlHostText(host) + ":" + std::to_string(client.ProxyParams.ProxyPort());
}

// The exit status of a failure; its line on standard error unless silenced.
int Failed(const Exception& e, const TOptions& o, const std::string& url, const std::string& proxy) {
    std::fflush(stdout);
    if (!o.Silent || o.ShowError)
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), FailureText(e, o, url, proxy).c_str());
    const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&e);
    return o.Fail && reply && reply->ReplyCode >= 400 ? 22 : 1;
}

// Each URL in turn: the first ones to files of their own names (-O), the
// others to the one output, which takes its name when all are done.
// https for every fetch: the system's trust store, or the one bundle named;
// no verification only when asked for by name.
void SetUpTls(const TOptions& o) {
    if (o.Insecure) std::fprintf(stderr, "quillora-fetch: warning: certificates are not verified (-k)\n");
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{o.CACertFile, !o.Insecure}));
}

int Run(const TOptions& o) {
    SetUpTls(o);
    std::unique_ptr<TOutput> shared;
    auto sharedOutput = [&]() -> TOutput& {
        if (!shared) shared = std::make_unique<TOutput>(o.OutputFile);
        return *shared;
    };
    TIdHTTP client;
    TStream* heads = nullptr;
    SetUpClient(client, o, &heads);
    for (size_t k = 0; k < o.Urls.size(); ++k) {
        const std::string& url = o.Urls[k];
        bool routed = false;
        try {
            std::unique_ptr<TOutput> own;
            if (static_cast<int>(k) < o.RemoteNames) own = std::make_unique<TOutput>(RemoteName(url));
            TOutput& output = own ? *own : sharedOutput();
            heads = o.Head ? &output.Stream() : nullptr;
            ApplyProxy(client, o, url);
            routed = true;
            client.RunRequest(o.Head ? hmHead : hmGet, url, nullptr, o.Head ? nullptr : &output.Stream());
            if (own) own->Finish();
        } catch (const Exception& e) {
            // The proxy of the request that failed: each redirect hop chooses its own.
            return Failed(e, o, url, routed ? ProxyOf(client) : std::string());
        }
    }
    try {
        if (shared) shared->Finish();
    } catch (const Exception& e) {
        return Failed(e, o, o.Urls.back(), "");
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
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), JoinedLines(e.Message()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "EOutOfMemory: Out of memory\n");
    }
    return 1;
}
