#pragma once
// One URL split into its parts, and the text helpers the HTTP client shares.
// Nothing here percent-encodes or decodes: the caller's bytes reach the
// request line as they were given, apart from backslashes and the fragment.

#include "core/Exceptions.h"

#include <string>
#include <string_view>

QUILLORA_EXCEPTION(EIdURIException, Exception);

// 1-based position of sub in text at or after the 1-based start, never on the
// trailing byte of a GBK double-byte character; 0 when absent.
int MbPos(std::string_view sub, std::string_view text, int start = 1, bool caseSensitive = true);

// Answers the text before the first delimiter (all of input when there is
// none); with remove, input keeps only what follows the delimiter.
std::string SplitAt(std::string& input, std::string_view delimiter, bool remove = true,
                    bool caseSensitive = true);
// Last position p <= start (start -1: the end) where sub occurs, compared
// without regard to case; 0 when there is none.
int LastPos(std::string_view sub, std::string_view text, int start = -1);
// Every "\" that is not the second byte of a double-byte character becomes "/".
std::string NormalizeSlashes(std::string_view text);
// Merges path into the directory basePath, resolving ".." segments.
std::string ResolvePath(std::string_view basePath, std::string_view path, char delimiter = '/');
// ASCII upper case, as header names and schemes are compared.
std::string UpperCaseText(std::string_view text);
bool SameText(std::string_view a, std::string_view b);

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

  private:
    void SplitAuthority(std::string authority);
    void SplitPath(const std::string& path, bool absolute);
};
