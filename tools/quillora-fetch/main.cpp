// quillora-fetch: fetches URLs with the program's own HTTP client, like curl.
//
//   quillora-fetch [-v] [-s] [-S] [-f] [-i] [-I] [-o FILE] [-O] [-L] [--location-trusted]
//                  [--max-redirs N] [-H 'Name: value'] [-u user:password]
//                  [-x [http://]host:port] [-U user:password] [--noproxy LIST]
//                  [--cacert FILE] [-k] [-w FORMAT] URL...
//
// Every URL is fetched in order on one client, so keep-alive and cookies carry
// over from one to the next. The bodies go to FILE, standard output, or with
// -O to files named like the URLs. As with curl, any complete reply is a
// fetch done, whatever its status; -f makes a status of 400 and up a failure.
// A regular file appears only when its fetches succeeded (an older one stays
// as it was otherwise); a device or pipe (/dev/null, /dev/stdout) is written
// as the bytes come. On a failure the last line on standard error is
// "ExceptionClass: message" (a certificate failure adds a hint after it) and
// the exit status is 1 (22 for an HTTP error with -f); -h prints the usage.

#include "../common/NetworkError.h"
#include "FetchOutput.h"
#include "HelpText.h"
#include "WriteOut.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/TextUtils.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "net/IdSSLIOHandlerSocket.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct TOptions {
    bool Verbose = false;
    bool Silent = false, ShowError = false; // -s, -S
    bool Fail = false;                      // -f: an HTTP error is exit status 22
    bool Head = false;                      // -I
    bool Include = false;                   // -i: each reply's head before its body
    std::optional<std::string> WriteOut;    // -w
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
    "usage: quillora-fetch [-v] [-s] [-S] [-f] [-i] [-I] [-o FILE] [-O] [-L] [--location-trusted] "
    "[--max-redirs N] [-H 'Name: value'] [-u user:password] [-x [http://]host:port] [-U user:password] "
    "[--noproxy LIST] [--cacert FILE] [-k] [-w FORMAT] URL...\n";

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
    {"--silent", "-s"},      {"--show-error", "-S"}, {"--fail", "-f"},    {"--head", "-I"},
    {"--remote-name", "-O"}, {"--header", "-H"},     {"--output", "-o"},  {"--location", "-L"},
    {"--verbose", "-v"},     {"--user", "-u"},       {"--proxy", "-x"},   {"--proxy-user", "-U"},
    {"--include", "-i"},     {"--write-out", "-w"},  {"--insecure", "-k"}};
const std::string ValueLetters = "ouxUHw";
const std::string FlagLetters = "vsSfiIOLk";

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

// A URL without a scheme is an http one, as curl takes it: "host/x" is
// "http://host/x". A "://" further on (in a query) names no scheme.
std::string WithScheme(const std::string& url) {
    size_t k = 0;
    while (k < url.size() && (std::isalnum(static_cast<unsigned char>(url[k])) || url[k] == '+' ||
                              url[k] == '-' || url[k] == '.'))
        ++k;
    const bool named =
        k > 0 && std::isalpha(static_cast<unsigned char>(url[0])) && url.compare(k, 3, "://") == 0;
    return named ? url : "http://" + url;
}

void CheckWriteOut(const std::string& format) {
    try {
        TWriteOut check(format);
    } catch (const EConvertError& e) {
        Usage(e.Message());
    }
}

void CheckOptions(TOptions& o) {
    if (o.Urls.empty()) Usage("no URL given");
    if (o.WriteOut) CheckWriteOut(*o.WriteOut);
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
    else if (arg == "-i")
        o.Include = true;
    else if (arg == "-O")
        ++o.RemoteNames;
    else if (arg == "-L")
        o.FollowRedirects = true;
    else if (arg == "--location-trusted")
        o.FollowRedirects = o.LocationTrusted = true;
    else if (arg.size() > 1 && arg[0] == '-')
        Usage("unknown option " + arg);
    else
        o.Urls.push_back(WithScheme(arg));
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
        else if (arg == "-k")
            o.Insecure = true;
        else if (arg == "-w")
            o.WriteOut = value();
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

// The header lines of a reply as curl -I and -i write them.
std::string HeaderText(const TIdHeaderList& lines) {
    std::string text;
    for (int k = 0; k < lines.Count(); ++k)
        if (!lines[k].empty()) text += lines[k] + "\r\n";
    return text;
}

// The TLS session of the open connection as curl -v shows it; false while
// there is none (before a proxy's tunnel is granted, or over http).
bool ShowTlsSession(TIdHTTP& client) {
    const TIdSSLIOHandlerSocket* tls = client.TlsTransport();
    const std::optional<TIdTLSSessionInfo> info = tls ? tls->SessionInfo() : std::nullopt;
    if (!info) return false;
    std::fprintf(stderr, "* %s, %s\n* subject: %s\n* issuer: %s\n", info->Version.c_str(),
                 info->Cipher.c_str(), info->Subject.c_str(), info->Issuer.c_str());
    std::fprintf(stderr,
                 info->Verified ? "* certificate verified\n" : "* certificate not verified (--insecure)\n");
    return true;
}

// -v: the connection steps, each connection's TLS session (once, before the
// first request that went through it), the request heads. A disconnect is
// shown only of a connection that was made (the client also disconnects, to
// be sure, before its first one).
void ShowExchange(TIdHTTP& client) {
    auto tlsShown = std::make_shared<bool>(false);
    client.OnStatus = [connected = false, tlsShown](TIdComponent*, TIdStatus status,
                                                    const std::string& text) mutable {
        if (status == hsConnected) connected = true;
        if ((status == hsDisconnecting || status == hsDisconnected) && !connected) return;
        if (status == hsDisconnected) connected = false;
        if (status == hsConnected || status == hsDisconnected) *tlsShown = false;
        std::fprintf(stderr, "* %s\n", text.c_str());
    };
    client.OnRequestWritten = [&client, tlsShown](TIdComponent*, const std::string& line,
                                                  const TIdHeaderList& headers) {
        if (!*tlsShown) *tlsShown = ShowTlsSession(client);
        PrintLines('>', line, headers);
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

// What the URL being fetched has come to: where its heads and body go, the
// status of its last reply (0 before any).
struct TFetchState {
    TReplySink* Sink = nullptr;
    int HttpCode = 0;
};

void SetUpClient(TIdHTTP& client, const TOptions& o, TFetchState& state) {
    if (o.Verbose) ShowExchange(client);
    client.OnReplyHeaders = [&o, &client, &state](TIdComponent*, const std::string& line,
                                                  const TIdHeaderList& headers) {
        if (o.Verbose) PrintLines('<', line, headers);
        state.HttpCode = std::max(0, client.ResponseCode());
        if ((o.Head || o.Include) && state.Sink) state.Sink->WriteHead(line, HeaderText(headers));
    };
    ApplyHeaders(client, o.Headers);
    // curl's rules: any complete reply is the output; -f refuses 400 and up.
    client.ProtocolErrorFrom = o.Fail ? 400 : 1000;
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

// Whether e is the client's refusal of a reply for its status (-f), not
// of a reply it could not read: that one's message is the status line.
bool RefusedForStatus(const Exception& e, TIdHTTP& client) {
    const auto* reply = dynamic_cast<const EIdHTTPProtocolException*>(&e);
    return reply && reply->ReplyCode >= 400 && e.Message() == client.Response().StatusLine;
}

// Why a fetch failed, on one line: the URL first when there were several,
// and the host (and proxy) of a network failure. A status refused by -f is
// said in curl's words.
std::string FailureText(const Exception& e, const TOptions& o, const std::string& url, TIdHTTP& client,
                        const std::string& proxy) {
    std::string text;
    if (IsNetworkFailure(e))
        text = NetworkErrorText(e.Message(), TIdURI(url).HostName, proxy);
    else if (RefusedForStatus(e, client))
        text = "The requested URL returned error: " + std::to_string(client.ResponseCode());
    else
        text = JoinedLines(e.Message());
    return o.Urls.size() > 1 ? url + ": " + text : text;
}

std::string ProxyOf(TIdHTTP& client) {
    const std::string host = client.ProxyParams.ProxyServer();
    return host.empty() ? host : UrlHostText(host) + ":" + std::to_string(client.ProxyParams.ProxyPort());
}

// The exit status of a failure; its line on standard error unless
// silenced and, after a certificate the user may have to trust, the ways to.
int Failed(const Exception& e, const TOptions& o, const std::string& url, TIdHTTP& client,
           const std::string& proxy) {
    std::fflush(stdout);
    if (!o.Silent || o.ShowError) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), FailureText(e, o, url, client, proxy).c_str());
        const TIdSSLIOHandlerSocket* tls = client.TlsTransport();
        if (dynamic_cast<const EIdSSLProtocolReplyError*>(&e) && tls && tls->CertificateRefused())
            std::fprintf(stderr, "use --cacert FILE to trust a private CA, or -k to skip the check\n");
    }
    const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&e);
    return o.Fail && reply && reply->ReplyCode >= 400 ? 22 : 1;
}

// -w's text after a URL, on standard output whatever -o says (as curl does).
void WriteOutFor(const TOptions& o, const TFetchState& state) {
    if (!o.WriteOut) return;
    const std::string text =
        TWriteOut(*o.WriteOut).Expand({state.HttpCode, state.Sink ? state.Sink->BodySize() : 0});
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // the failure to report is the fetch's, if any
        done += static_cast<size_t>(n);
    }
}

// https for every fetch: the system's trust store, or the one bundle named;
// no verification only when asked for by name.
void SetUpTls(const TOptions& o) {
    if (o.Insecure) std::fprintf(stderr, "quillora-fetch: warning: certificates are not verified (-k)\n");
    SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{o.CACertFile, !o.Insecure}));
}

// Each URL in turn: the first ones to files of their own names (-O), the
// others to the one output, which takes its name when all are done.
int Run(const TOptions& o) {
    SetUpTls(o);
    std::unique_ptr<TFetchOutput> shared;
    auto sharedOutput = [&]() -> TFetchOutput& {
        if (!shared) shared = std::make_unique<TFetchOutput>(o.OutputFile);
        return *shared;
    };
    TIdHTTP client;
    TFetchState state;
    SetUpClient(client, o, state);
    for (size_t k = 0; k < o.Urls.size(); ++k) {
        const std::string& url = o.Urls[k];
        std::unique_ptr<TFetchOutput> own;
        std::optional<TReplySink> sink;
        state = TFetchState{};
        bool routed = false, reported = false;
        try {
            if (static_cast<int>(k) < o.RemoteNames) own = std::make_unique<TFetchOutput>(RemoteName(url));
            state.Sink = &sink.emplace((own ? *own : sharedOutput()).Stream());
            ApplyProxy(client, o, url);
            routed = true;
            client.RunRequest(o.Head ? hmHead : hmGet, url, nullptr, o.Head ? nullptr : &*sink);
            // Before the file is renamed: its stream is gone afterwards.
            WriteOutFor(o, state);
            reported = true;
            if (own) own->Finish();
        } catch (const Exception& e) {
            if (!reported) WriteOutFor(o, state);
            // The proxy of the request that failed: each redirect hop chooses its own.
            return Failed(e, o, url, client, routed ? ProxyOf(client) : std::string());
        }
    }
    try {
        if (shared) shared->Finish();
    } catch (const Exception& e) {
        return Failed(e, o, o.Urls.back(), client, "");
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
