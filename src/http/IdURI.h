#pragma once
// One URL split into its parts as RFC 3986 reads it, and the path helpers
// that go with it. The authority ends at the first "/", "?" or "#"; user
// information is only what stands before an "@" inside it; a host in brackets
// is an IPv6 literal (kept here without its brackets, written back with
// them); a port is 1 to 5 digits naming 1 to 65535, or nothing.
// Nothing here percent-encodes or decodes: the caller's bytes reach the
// request line as they were given, apart from backslashes and the fragment.
// Reading never raises: a URL that is no URL keeps its fault in Problem, and
// Check (which the client calls before any request) raises it.

#include "core/Exceptions.h"
#include "core/TextUtils.h"

#include <optional>
#include <string>
#include <string_view>

QUILLORA_EXCEPTION(EIdURIException, Exception);

// A TCP port that can be connected to: 1 to 65535.
constexpr bool IsPortNumber(int64_t port) {
    return port >= 1 && port <= 65535;
}
// A port as an address or a setting writes it: 1 to 5 digits (no sign, no
// blank) naming 1 to 65535; none otherwise.
std::optional<int> ReadPort(std::string_view text);

// The host as an address writes it: an IPv6 literal (any host with a ":")
// in brackets, any other as it is.
std::string UrlHostText(const std::string& host);

// Every "\" is not the second byte of a double-byte character becomes "/".
std::string NormalizeSlashes(std::string_view text);
// Merges path into the directory basePath, resolving ".." segments.
std::string ResolvePath(std::string_view basePath, std::string_view path, char delimiter = '/');

enum TIdURIOption { IncludeAuthInfo = 1, IncludeFragment = 2 };
using TIdURIOptions = int;

class TIdURI {
  public:
    TIdURI() = default;
    explicit TIdURI(const std::string& url) {
        if (!url.empty()) SetUrl(url);
    }

    void SetUrl(const std::string& url);
    std::string ComposeUrl(TIdURIOptions options) const;
    // Absolute form without credentials or fragment; UrlText keeps the full form.
    std::string PlainUrl();
    // Raises EIdURIException with Problem when the URL could not be read.
    void Check() const;
    // HostName as written in an address: in brackets when it is an IPv6 literal.
    std::string HostText() const { return UrlHostText(HostName); }
    // The origin, as compared: "SCHEME://HOST:PORT", upper-cased.
    std::string Origin() const { return UpperCaseText(Scheme + "://" + HostText() + ":" + PortText); }

    std::string UrlText;
    std::string Scheme;
    std::string AuthUser;
    std::string AuthPassword;
    std::string HostName;
    std::string PortText;
    std::string DirPath;
    std::string DocName;
    std::string QueryPart;
    std::string Fragment;
    // Why the URL is no URL (a bad port, an unclosed "["); empty when it is one.
    std::string Problem;

  private:
    void SplitAuthority(std::string authority);
    void SplitPath(const std::string& path, bool absolute);
};
