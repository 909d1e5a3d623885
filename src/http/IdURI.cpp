#include "http/IdURI.h"

#include "core/Gbk.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

std::string NormalizeSlashes(std::string_view text) {
    std::string out(text);
    for (size_t k = 0; k < out.size(); k += GbkCharLength(out, k))
        if (out[k] == '\\') out[k] = '/';
    return out;
}

std::string ResolvePath(std::string_view basePath, std::string_view path, char delimiter) {
    if (!path.empty() && path.front() == delimiter) return std::string(path);
    const bool keepTrail = path.empty() || path.back() == delimiter;
    std::string work(basePath);
    if (!work.empty() && work.back() != delimiter) work += delimiter;
    work += path;

    std::string result;
    for (size_t i = 0; i < work.size(); ++i) {
        const char c = work[i];
        const bool endsWithDelimiter = !result.empty() && result.back() == delimiter;
        if (c == delimiter) {
            if (i == 0)
                result.assign(1, delimiter);
            else if (!endsWithDelimiter)
                result += c;
        } else if (c == '.' && endsWithDelimiter && i + 1 < work.size() && work[i + 1] == '.') {
            // ".." drops the last directory of what was built so far.
            result.pop_back();
            while (!result.empty() && result.back() != delimiter)
                result.pop_back();
            ++i;
        } else {
            result += c;
        }
    }
    if (result.size() > 1 && result.back() == delimiter && !keepTrail) result.pop_back();
    return result;
}

namespace {

// The first of the bytes in set at or after from, never the second byte of a
// double-byte character; npos when there is none.
size_t FindFirstOf(std::string_view text, std::string_view set, size_t from = 0) {
    for (size_t k = from; k < text.size(); k += GbkCharLength(text, k))
        if (set.find(text[k]) != std::string_view::npos) return k;
    return std::string_view::npos;
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 3986 3.1: scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":";
// the length of the scheme text when work starts with one, else 0.
size_t SchemeLength(std::string_view work) {
    if (work.empty() || !IsAsciiLetter(work[0])) return 0;
    size_t k = 1;
    while (k < work.size() && (IsAsciiLetter(work[k]) || (work[k] >= '0' && work[k] <= '9') ||
                               work[k] == '+' || work[k] == '-' || work[k] == '.'))
        ++k;
    return k < work.size() && work[k] == ':' ? k : 0;
}

bool IsIPv6Literal(const std::string& text) {
    in6_addr address{};
    return !text.empty() && inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

} // namespace

std::string UrlHostText(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

void TIdURI::SetUrl(const std::string& url) {
    UrlText = NormalizeSlashes(url);
    std::string work = UrlText;
    Scheme.clear();
    AuthUser.clear();
    AuthPassword.clear();
    HostName.clear();
    PortText.clear();
    DirPath.clear();
    DocName.clear();
    QueryPart.clear();
    Fragment.clear();
    Problem.clear();

    if (const size_t length = SchemeLength(work); length > 0) {
        Scheme = work.substr(0, length);
        work.erase(0, length + 1);
    }
    const bool hasAuthority = work.compare(0, 2, "//") == 0;
    if (hasAuthority) {
        // The authority ends at the first "/", "?" or "#" (RFC 3986 3.2),
        // byte by byte: a host is no GBK text, and a high byte before a "/"
        // must not hide it as the second half of a character (the composed
        // address would then read back as another host).
        const size_t end = work.find_first_of("/?#", 2);
        SplitAuthority(work.substr(2, end == std::string::npos ? std::string::npos : end - 2));
        work.erase(0, end == std::string::npos ? work.size() : end);
    }
    if (const size_t hash = FindFirstOf(work, "#"); hash != std::string::npos) {
        Fragment = work.substr(hash + 1);
        work.erase(hash);
    }
    // After an authority the path is absolute: its first "/" is DirPath's own.
    if (hasAuthority && !work.empty() && work[0] == '/') work.erase(0, 1);
    SplitPath(work, hasAuthority);
}

void TIdURI::SplitAuthority(std::string authority) {
    // User information only before an "@" of the authority; the last one, as
    // an "@" cannot be in a host (byte by byte, as above).
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        AuthPassword = authority.substr(0, at);
        authority.erase(0, at + 1);
        AuthUser = SplitAt(AuthPassword, ":");
        if (AuthUser.empty()) AuthPassword.clear();
    }
    std::string portPart;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            Problem = "URL refused: the \"[\" of its host has no \"]\"";
            HostName = authority.substr(1);
            return;
        }
        HostName = authority.substr(1, close - 1);
        if (!IsIPv6Literal(HostName)) Problem = "URL refused: its host [" + HostName + "] is no IPv6 address";
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':' && Problem.empty())
            Problem = "URL refused: text after the \"]\" of its host";
        hasPort = !rest.empty() && rest[0] == ':';
        if (hasPort) portPart = rest.substr(1);
    } else {
        const size_t colon = authority.find(':');
        HostName = authority.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort) portPart = authority.substr(colon + 1);
        if (HostName.find_first_of("[]") != std::string::npos)
            Problem =
                "URL refused: its host \"" + HostName + "\" has a bracket but is no bracketed IPv6 address";
    }
    PortText = portPart;
    // An empty port is the scheme's own (RFC 3986 3.2.3).
    if (!portPart.empty() && !ReadPort(portPart) && Problem.empty())
        Problem = "URL refused: its port \"" + portPart + "\" is not a number from 1 to 65535";
    if (HostName.empty() && Problem.empty()) Problem = "URL refused: it names no host";
}

void TIdURI::Check() const {
    if (!Problem.empty()) throw EIdURIException(Problem);
}

void TIdURI::SplitPath(const std::string& path, bool absolute) {
    // Without "?" the parameters start at the first "=".
    int q = MbPos("?", path);
    if (q == 0) q = MbPos("=", path);
    const int t = q > 0 ? LastPos("/", path, q) : LastPos("/", path, -1);
    // Built in place: a literal joined to a temporary made GCC 12 at -O3
    // warn of overlapping copies (-Wrestrict).
    DirPath.assign(absolute ? 1 : 0, '/');
    DirPath.append(path, 0, static_cast<size_t>(t));
    if (q > 0) {
        DocName = path.substr(0, static_cast<size_t>(q - 1));
        QueryPart = path.substr(static_cast<size_t>(q - 1));
    } else {
        DocName = path;
    }
    DocName.erase(0, std::min(DocName.size(), static_cast<size_t>(t)));
}

std::string TIdURI::ComposeUrl(TIdURIOptions options) const {
    if (Scheme.empty()) throw EIdURIException("Protocol field is empty");
    std::string s = Scheme + "://";
    if (!AuthUser.empty() && (options & IncludeAuthInfo)) {
        s += AuthUser;
        if (!AuthPassword.empty()) s += ":" + AuthPassword;
        s += "@";
    }
    if (HostName.empty()) throw EIdURIException("Host field is empty");
    s += HostText();
    if (!PortText.empty()) s += ":" + PortText;
    s += DirPath + DocName + QueryPart;
    if (!Fragment.empty() && (options & IncludeFragment)) s += "#" + Fragment;
    return s;
}

std::string TIdURI::PlainUrl() {
    UrlText = ComposeUrl(IncludeAuthInfo | IncludeFragment);
    return ComposeUrl(0);
}

std::optional<int> ReadPort(std::string_view text) {
    const std::optional<uint32_t> port = ReadDigits(text, 5);
    if (!port || !IsPortNumber(*port)) return std::nullopt;
    return static_cast<int>(*port);
}
