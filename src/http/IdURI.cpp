#include "http/IdURI.h"

#include "core/Gbk.h"

#include <algorithm>

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

    const int p = MbPos("://", work);
    if (p > 0) {
        Scheme = work.substr(0, static_cast<size_t>(p - 1));
        work.erase(0, static_cast<size_t>(p - 1) + 3);
        SplitAuthority(SplitAt(work, "/"));
        SplitPath(work, true);
        // A "#" inside the document ends it.
        Fragment = DocName;
        DocName = SplitAt(Fragment, "#");
    } else {
        SplitPath(work, false);
    }
    if (Fragment.empty()) {
        Fragment = QueryPart;
        QueryPart = SplitAt(Fragment, "#");
    }
}

void TIdURI::SplitAuthority(std::string authority) {
    const int at = MbPos("@", authority);
    if (at > 0) {
        AuthPassword = authority.substr(0, static_cast<size_t>(at - 1));
        authority.erase(0, static_cast<size_t>(at));
    }
    AuthUser = SplitAt(AuthPassword, ":");
    if (AuthUser.empty()) AuthPassword.clear();
    HostName = SplitAt(authority, ":");
    PortText = authority;
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
    s += HostName;
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
