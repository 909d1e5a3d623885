// URLs as pages, redirects and users hand them over, and the path and search
// helpers the client builds requests with; also the proxy setting texts.

#include "FuzzSupport.h"
#include "http/ClientSettings.h"
#include "http/IdURI.h"

#include <cstdlib>

namespace {

void SplitAndCompose(const std::string& text) {
    TIdURI url(text);
    fuzz::Refused([&] { url.ComposeUrl(IncludeAuthInfo | IncludeFragment); });
    fuzz::Refused([&] { url.PlainUrl(); });
    // What the client does with a redirect's Location: merge it into the path it has.
    ResolvePath(url.DirPath, text);
    ResolvePath("/a/b/", url.DirPath + url.DocName);
    // A port read from any text is one a connection can go to, written as it was.
    if (const std::optional<int> port = ReadPort(url.PortText))
        if (!IsPortNumber(*port) || std::to_string(*port).size() > url.PortText.size()) std::abort();
    // A URL read without a problem has a port a connection can go to, and
    // reads back as the same host and port from the address it composes.
    if (url.Problem.empty() && !url.PortText.empty() && !ReadPort(url.PortText)) std::abort();
    if (url.Problem.empty() && !url.Scheme.empty() && !url.HostName.empty()) {
        const TIdURI again(url.ComposeUrl(0));
        if (!again.Problem.empty() || again.HostName != url.HostName || again.PortText != url.PortText)
            std::abort();
    }
    fuzz::Refused([&] { url.Check(); });
    if (const std::optional<uint32_t> number = ReadDigits(text, 9))
        if (*number > 999999999u || text.find_first_not_of("0123456789") != std::string::npos) std::abort();
}

void SearchHelpers(const std::string& text) {
    const size_t half = text.size() / 2;
    const std::string head = text.substr(0, half), tail = text.substr(half);
    MbPos(head.substr(0, 3), tail, static_cast<int>(half % 7) - 1, half % 2 == 0);
    LastPos(head.substr(0, 2), tail, static_cast<int>(half % 11) - 1);
    std::string rest = text;
    while (!rest.empty())
        SplitAt(rest, "/");
    NormalizeSlashes(text);
}

void ProxyTexts(const std::string& text) {
    fuzz::Refused([&] { ParseProxySetting(text); });
    ProxyBypassed("www.example.com", text);
    ProxyBypassed(text, ".example.com,localhost,*.local");
    fuzz::Refused([&] { ProxyForUrl(text, "user:pa%20ss@proxy.test:3128", "localhost"); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    SplitAndCompose(text);
    SearchHelpers(text);
    ProxyTexts(text);
    return 0;
}
