#include "http/IdURI.h"

#include "core/Gbk.h"

#include <algorithm>

namespace {

char UpperByte(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool MatchesAt(std::string_view sub, std::string_view text, size_t at, bool caseSensitive) {
    if (at + sub.size() > text.size()) return false;
    if (caseSensitive) return text.compare(at, sub.size(), sub) == 0;
    for (size_t i = 0; i < sub.size(); ++i)
        if (UpperByte(text[at + i]) != UpperByte(sub[i])) return false;
    return true;
}

size_t CharLength(std::string_view text, size_t at) {
    return (IsGbkLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size()) ? 2 : 1;
}

} // namespace

int MbPos(std::string_view sub, std::string_view text, int start, bool caseSensitive) {
    if (sub.empty() || sub.size() > text.size()) return 0;
    const size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
    const size_t last = text.size() - sub.size();
    for (size_t k = 0; k <= last; k += CharLength(text, k))
        if (k >= from && MatchesAt(sub, text, k, caseSensitive)) return static_cast<int>(k) + 1;
    return 0;
}

std::string SplitAt(std::string& input, std::string_view delimiter, bool remove, bool caseSensitive) {
    const int p = MbPos(delimiter, input, 1, caseSensitive);
    if (p == 0) {
        std::string all = input;
        if (remove) input.clear();
        return all;
    }
    std::string before = input.substr(0, static_cast<size_t>(p - 1));
    if (remove) input.erase(0, static_cast<size_t>(p - 1) + delimiter.size());
    return before;
}

int LastPos(std::string_view sub, std::string_view text, int start) {
    if (sub.empty() || sub.size() > text.size()) return 0;
    const int highest = static_cast<int>(text.size() - sub.size()) + 1;
    if (start == -1 || start > highest) start = highest;
    int found = 0;
    for (size_t k = 0; static_cast<int>(k) + 1 <= start; k += CharLength(text, k))
        if (MatchesAt(sub, text, k, false)) found = static_cast<int>(k) + 1;
    return found;
}

std::string NormalizeSlashes(std::string_view text) {
    std::string out(text);
    for (size_t k = 0; k < out.size(); k += CharLength(out, k))
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

std::string UpperCaseText(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = UpperByte(c);
    return out;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && MatchesAt(a, b, 0, false);
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
    DirPath = (absolute ? "/" : "") + path.substr(0, static_cast<size_t>(t));
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
